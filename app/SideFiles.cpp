#include "app/SideFiles.h"

#include <unordered_map>

#include "app/FolderCache.h"
#include "app/FolderIndex.h"
#include "app/Kit.h"
#include "app/Trace.h"
#include "platform/Path.h"
#include "platform/TextFile.h"

namespace {
// First lines read during this request: the photo page reads each listing
// file twice (to sort, then to show).
std::unordered_map<std::string, std::string>& FirstLines() {
    thread_local std::unordered_map<std::string, std::string> lines;
    return lines;
}
}  // namespace

void ForgetFirstLines() { FirstLines().clear(); }

std::string ReadFirstLine(const std::string& path) {
    std::string existing = folder_index::Existing(path);
    if (existing.empty()) return {};
    // A resident process keeps the line while the folder stays unchanged.
    if (folder_cache::Keeping()) {
        auto [folder, name] = platform::SplitPath(existing);
        if (auto kept = folder_cache::Followed(name) ? folder_cache::Snapshot(folder) : nullptr) {
            folder_cache::NoteLookup(folder, true);
            std::string line;
            if (kept->FirstLine(name, line)) return line;
            line = platform::ReadFirstTextLine(existing);
            kept->KeepFirstLine(name, line);
            return line;
        }
    }
    folder_cache::NoteLookup(platform::SplitPath(existing).folder, false);
    auto& lines = FirstLines();
    auto it = lines.find(existing);
    if (it != lines.end()) return it->second;
    std::string line = platform::ReadFirstTextLine(existing);
    lines.emplace(existing, line);
    return line;
}

void ReadCaptionFile(const std::string& name, std::string& caption) {
    caption.clear();
    std::string path = kit::ProgramDirectory() + name;
    TraceLine("Textfile " + path);
    std::string existing = folder_index::Existing(path);
    if (existing.empty()) return;
    caption = platform::ReadFirstTextLine(existing);
    TraceLine("Text " + caption);
}
