// The repair action: every picture gets its listing and caption files.
#include "app/FolderView.h"
#include "app/Gallery.h"
#include "app/Kit.h"
#include "app/PageFrame.h"
#include "app/Pages.h"
#include "app/Repair.h"
#include "app/Trace.h"
#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

void CreateBlankSideFile(const std::string& path) {
    platform::ReplaceFileContents(path, "  \r\n");
    folder_view::NoteCreated(path);
    // A file name is text, not markup ("Tom & Jerry <1>.jpg").
    HttpSend("<br>Created " + http::HtmlEscape(path));
}

namespace {
void RepairPicture(const std::string& directory, const std::string& name) {
    if (text::StartsWith(name, "t_")) return;
    std::string base = kit::WithoutExtension(name);
    std::string listing = directory + base + ".idd";
    if (!folder_view::Exists(listing)) CreateBlankSideFile(listing);
    std::string caption = directory + base + ".txt";
    if (!folder_view::Exists(caption)) CreateBlankSideFile(caption);
}
}  // namespace

void RepairSideFiles() {
    TraceLine("Start Fix");
    std::string directory = PictureDirectory();
    for (const char* pattern : {"*.jpg", "*.gif"}) {
        std::string mask = directory + pattern;
        TraceLine("Filemask " + mask);
        std::vector<platform::DirEntry> found = platform::FindFiles(mask);
        for (size_t i = 0; i < found.size(); ++i) {
            if (i > 0) TraceLine(found[i].name);
            RepairPicture(directory, found[i].name);
        }
        if (!found.empty()) TraceLine("");
    }
    CurrentHttpEngine()->SetAutoContentType("text/html");
    HttpSend("<html><body bgcolor=\"#FFFFFF\" text=\"#0000AA\">");
    HttpSend("<font size=4> - Files Repaired -</font><p>");
    PageFooter();
}
