#include "app/SideFiles.h"

#include <unordered_map>

#include "app/FolderIndex.h"
#include "app/Kit.h"
#include "app/Trace.h"
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
