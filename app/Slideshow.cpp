// The slideshow: one JPEG picture at a time, the page reloading itself every
// ten seconds, each visitor (told apart by address) stepping through the
// pictures in name order.
#include <algorithm>
#include <vector>

#include "app/FolderView.h"
#include "app/Gallery.h"
#include "app/HtmlText.h"
#include "app/KeptSlides.h"
#include "app/Kit.h"
#include "app/PageFrame.h"
#include "app/Pages.h"
#include "app/SideFiles.h"
#include "app/SlidePositions.h"
#include "app/Slideshow.h"
#include "app/Thumbnails.h"
#include "app/Trace.h"
#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "engine/PrivateFolder.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

namespace {
constexpr int SlideHeight = 560;
constexpr int SlideQuality = 100;
const char* const SlideFileName = "t_SLIDEIMAGE.JPG";
// The name the page uses; both spellings reach the same file.
const char* const SlideFileLinkName = "t_SLIDEIMAGE.jpg";
const char* const PragmaLine = "<META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\"> ";
const char* const ExpiresLine = "<META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\"> ";
}  // namespace

std::string SlideStateFile() {
    return PrivateFolder() + "SlideNext" + http::AddressAsFileName(HttpGetVar("REMOTE_ADDR")) + ".txt";
}

int NextSlideIndex(int lastIndex) {
    std::string path = SlideStateFile();
    std::string existing = folder_view::Existing(path);
    int index = 0;
    if (!existing.empty()) {
        int32_t n = -1;
        if (!text::TryStrToInt(platform::ReadFirstTextLine(existing), n)) n = -1;
        index = n + 1;
        if (index > lastIndex) index = 0;
        path = existing;
    } else {
        // Only a new visitor's first request looks at the others' positions.
        MakeRoomForSlidePosition(PrivateFolder());
    }
    // Replaced by rename, so that a concurrent request reads the old or the
    // new index, never a half-written one.
    platform::ReplaceFileContents(path, std::to_string(index) + "\r\n");
    folder_view::NoteCreated(path);
    return index;
}

std::string SelectSlide() {
    TraceLine("Start Select slide image");
    std::string mask = PictureDirectory() + "*.jpg";
    TraceLine("Filemask " + mask);
    std::vector<std::string> slides;
    for (const auto& entry : platform::FindFiles(mask)) {
        if (text::StartsWith(entry.name, "t_")) continue;
        auto it = std::lower_bound(slides.begin(), slides.end(), entry.name, text::LessIgnoreCase());
        if (it != slides.end() && text::CompareIgnoreCase(*it, entry.name) == 0) continue;
        slides.insert(it, entry.name);
    }
    int index = NextSlideIndex(static_cast<int>(slides.size()) - 1);
    if (index < 0 || index >= static_cast<int>(slides.size()))
        throw Exception("List index out of bounds (" + std::to_string(index) + ")");
    std::string name = slides[static_cast<size_t>(index)];
    TraceLine("Selected Slide File " + name);
    return name;
}

void CreateSlidePicture(const std::string& name) {
    std::string directory = kit::ProgramDirectory();
    std::string path = directory + name;
    TraceLine("Create Slide Image: " + path);
    std::string existing = folder_view::Existing(path);
    if (existing.empty()) {
        TraceLine("Not Exist: " + path);
        return;
    }
    // Each picture's slide is made once and kept; showing it again only puts
    // the kept one in place.
    int width = PutSlideInPlace(existing, SlideHeight, SlideQuality, directory + SlideFileName,
                                directory + SlideFileLinkName);
    TraceLine("Slide size " + std::to_string(SlideHeight) + "," + std::to_string(width));
}

void SlideshowPage() {
    PageHead();
    HttpSend("<meta http-equiv=\"Refresh\" content=\"10\"> ");
    HttpSend(PragmaLine);
    HttpSend(ExpiresLine);
    HttpSend("<META HTTP-EQUIV=Expires: Mon, 14 Jul 1789 12:30:00 GMT\"> ");
    HttpSend("<META HTTP-EQUIV=\"Last-Modified: \" . gmdate(\"D, d M Y H:i:s\") . \" GMT\"> ");
    HttpSend("<META HTTP-EQUIV=\"Cache-Control: no-store, no-cache, must-revalidate\"> ");
    HttpSend("<META HTTP-EQUIV=\"Cache-Control: post-check=0, pre-check=0\", false> ");
    HttpSend(" <title>Webnook CAMs</title>");
    HttpSend(" </head><body  bgcolor=\"ffdfac\" text=\"000000\">");
    HttpSend("<center><font size=+1 color=\"red\">");
    std::string title = PageTitle("Web Slide Show");
    std::string name = SelectSlide();
    std::string caption;
    ReadCaptionFile(kit::WithoutExtension(name) + ".txt", caption);
    HttpSend(caption.empty() ? title : title + "<font color=\"black\"> - " + caption);
    CreateSlidePicture(name);
    HttpSend("<br>");
    HttpSend(std::string("<img src=\"") + SlideFileLinkName + "\">");
    HttpSend("</body>");
    HttpSend("<HEAD> ");
    HttpSend(PragmaLine);
    HttpSend(ExpiresLine);
    HttpSend("</HEAD> ");
    HttpSend(" </body></html> ");
}
