#include "app/PageFrame.h"

#include "app/FolderView.h"
#include "app/Kit.h"
#include "app/SideFiles.h"
#include "engine/HttpEngine.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

namespace {
const char* const FooterNotice = "Pictorama 1.0 2026 ";
const char* const FooterMail = "gallery@pictorama.example";
}  // namespace

void PageHead() {
    HttpSend("<html><head><meta name=\"Generator\" content=\"Gallerist - Varnholt\">");
    HttpSend("<title>Gallerist by Varnholt</title>");
    std::string header = folder_view::Existing(kit::ProgramDirectory() + "header.txt");
    if (!header.empty()) {
        platform::TextFileReader reader(header);
        while (!reader.Eof()) HttpSend(reader.ReadLine());
    }
    HttpSend("</head> <body bgcolor=\"#FFE8C4\" link=\"FF0000\" vlink=\"#FF0000\" text=\"#0000FF\">");
}

void PageFooter() {
    HttpSend(std::string("<br><p><center><font size=-2>") + FooterNotice + "<a href=\"mailto:" + FooterMail +
             "\">Varnholt</a></font></center></body></html>");
}

namespace {
int SizeOr(const std::string& text, int fallback) {
    int32_t value = 0;
    if (!text::TryStrToInt(text, value) || value > MaxThumbnailSize || value < -MaxThumbnailSize) return fallback;
    return value;
}
}  // namespace

void ReadThumbnailSize(int& height, int& width) {
    height = 70;
    width = 85;
    std::string path = folder_view::Existing(kit::ProgramDirectory() + "pagetitle.txt");
    if (path.empty()) return;
    platform::TextFileReader reader(path);
    while (!reader.Eof()) {
        std::string line = reader.ReadLine();
        size_t at = line.find("THUMBSIZE:");
        if (at == std::string::npos) continue;
        std::string rest = line.substr(at + 10, 20);
        size_t comma = rest.find(',');
        if (comma == std::string::npos) break;
        height = SizeOr(kit::TrimBlanks(rest.substr(0, comma)), 70);
        width = SizeOr(kit::TrimBlanks(rest.substr(comma + 1, 5)), 85);
    }
}

std::string PageTitle(const std::string& fallback) {
    std::string path = folder_view::Existing(kit::ProgramDirectory() + "pagetitle.txt");
    return path.empty() ? fallback : ReadFirstLine(path);
}
