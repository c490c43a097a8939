#include "app/SideFiles.h"

#include "app/FolderView.h"
#include "app/Kit.h"
#include "app/Trace.h"
#include "platform/TextFile.h"

// Read once per request, and kept with its folder by a resident process.
std::string ReadFirstLine(const std::string& path) { return folder_view::FirstLine(path); }

void ReadCaptionFile(const std::string& name, std::string& caption) {
    caption.clear();
    std::string path = kit::ProgramDirectory() + name;
    TraceLine("Textfile " + path);
    std::string existing = folder_view::Existing(path);
    if (existing.empty()) return;
    caption = platform::ReadFirstTextLine(existing);
    TraceLine("Text " + caption);
}
