#include "app/SideFiles.h"

#include "app/FolderIndex.h"
#include "app/Kit.h"
#include "app/Trace.h"
#include "platform/TextFile.h"

std::string ReadFirstLine(const std::string& path) {
    std::string existing = folder_index::Existing(path);
    return existing.empty() ? std::string() : platform::ReadFirstTextLine(existing);
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
