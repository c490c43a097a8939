// The photo page: every listed picture as a thumbnail in a table, three to a
// row, with its captions, the count and the optional hit counter.
#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "app/FolderView.h"
#include "app/Gallery.h"
#include "app/GalleryRequest.h"
#include "app/HtmlText.h"
#include "app/Kit.h"
#include "app/BrowserCopies.h"
#include "app/PageFrame.h"
#include "app/Pages.h"
#include "app/PhotoPage.h"
#include "app/PictureFormats.h"
#include "app/SideFiles.h"
#include "app/ThumbnailBatch.h"
#include "app/ThumbnailClaims.h"
#include "app/Thumbnails.h"
#include "app/Trace.h"
#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "imaging/Picture.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

// At most this many listing files are read per page: the first and 500 more.
constexpr int MaxFurtherListingFiles = 500;
// The picture name taken back from a list entry is at most this long.
constexpr size_t MaxPictureNameLength = 500;
constexpr int PicturesPerRow = 3;

// The sorted picture list: ordered ignoring case, an entry equal to one
// already present (ignoring case) is not added again.
class PictureList {
public:
    void Add(const std::string& entry) {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), entry, text::LessIgnoreCase());
        if (it != entries_.end() && text::CompareIgnoreCase(*it, entry) == 0) return;
        entries_.insert(it, entry);
    }
    const std::vector<std::string>& Entries() const { return entries_; }

private:
    std::vector<std::string> entries_;
};

// "http://" + host + the URL directory: the start of every link on the page.
std::string LinkBase() {
    std::string directory = CurrentRequest().urlDirectory;
    // A request that is not a GET does not set the URL directory; its links
    // are made from its own script name rather than left without a folder.
    if (directory.empty()) directory = UrlDirectory();
    return "http://" + http::HtmlEscape(HttpGetVar("HTTP_HOST")) + UrlPathEncode(directory, true);
}

// Adds the pictures of one listing file: base.jpg and base.gif where they
// exist, then base with each other extension the site owner enabled.
void AddPicturesOf(const std::string& directory, const std::string& listingName,
                   const std::vector<std::string>& extensions, PictureList& list) {
    std::string key = ReadFirstLine(directory + listingName);
    std::string base = kit::WithoutExtension(listingName);
    for (const std::string& extension : extensions) {
        std::string picture = folder_view::Existing(directory + base + extension);
        if (!picture.empty()) list.Add(key + "&&" + kit::FileNamePart(picture));
    }
}

std::string PictureNameOf(const std::string& entry) {
    size_t split = entry.find("&&");
    return split == std::string::npos ? entry : entry.substr(split + 2, MaxPictureNameLength);
}

// Makes the missing thumbnails that no other request is making. Requests that
// arrive together at a cold folder so share the work instead of each making
// every thumbnail; the cells then wait for the ones made elsewhere. They are
// made on the thumbnail threads unless the setting asks for one at a time.
void MakeMissingThumbnails(const std::string& directory, const std::vector<std::string>& entries) {
    if (ThumbnailThreadSetting() > 1) {
        std::vector<std::string> pictures;
        for (const std::string& entry : entries) pictures.push_back(PictureNameOf(entry));
        MakeThumbnailsTogether(directory, pictures);
        return;
    }
    for (const std::string& entry : entries) {
        std::string name = PictureNameOf(entry);
        if (name.empty() || text::StartsWith(name, "t_")) continue;
        std::string thumbnail = directory + "t_" + kit::WithoutExtension(name) + ".jpg";
        if (!folder_view::Exists(thumbnail)) MakeClaimedThumbnail(directory + name, thumbnail);
    }
}

}  // namespace

std::string ThumbnailSizeAttributes(const std::string& thumbnailPath) {
    int width = 0, height = 0;
    if (!folder_view::JpegSize(thumbnailPath, width, height)) width = height = 0;
    return " width=" + std::to_string(width) + " height=" + std::to_string(height);
}

namespace {
// The page's text, gathered as HttpSend would send it: each piece followed by
// CR LF. A failing request's page is replaced by its error page, so nothing
// sent before the failure would show.
class PageText {
public:
    explicit PageText(std::string& text) : text_(text) {}
    void Send(std::string_view piece) {
        text_.append(piece);
        text_.append("\r\n");
    }

private:
    std::string& text_;
};

// Sends text gathered by PageText.
void SendGathered(const std::string& text) {
    if (!text.empty()) HttpSend(std::string_view(text).substr(0, text.size() - 2));
}
}  // namespace

bool PictureCell(const std::string& name, const std::string& directory, const std::string& linkBase,
                 std::string& html) {
    if (name.empty() || text::StartsWith(name, "t_")) return false;
    PageText page(html);
    std::string base = kit::WithoutExtension(name);
    std::string captionFile = folder_view::Existing(directory + base + ".txt");
    std::string listingFile = folder_view::Existing(directory + base + ".idd");
    std::string thumbnail = directory + "t_" + base + ".jpg";
    // Made by the first pass unless another request was making it; then it is
    // awaited. If that request gave up (died), one of the requests that wait
    // takes the claim over and makes it, and the others wait for that one.
    bool ready = folder_view::Exists(thumbnail);
    // A page that waited for or made a thumbnail is not kept as it is.
    if (!ready) CurrentRequest().Folders().NoteLookup(directory, false);
    for (int attempt = 0; attempt < 2 && !ready; ++attempt)
        ready = AwaitThumbnail(thumbnail) || MakeClaimedThumbnail(directory + name, thumbnail);
    if (!ready) CreateThumbnail(directory + name);
    std::string thumbnailOnDisk = folder_view::Existing(thumbnail);
    if (thumbnailOnDisk.empty()) thumbnailOnDisk = thumbnail;
    std::string attributes = ThumbnailSizeAttributes(thumbnailOnDisk);
    std::string thumbnailUrl = linkBase + UrlPathEncode(kit::FileNamePart(thumbnailOnDisk));
    // A picture most browsers cannot show, or show unturned, links the JPEG
    // made of it.
    std::string link = UrlPathEncode(name);
    if (NeedsBrowserCopy(name)) link = BrowserCopyLink(directory, name);
    else if (std::string copy = BrowsersShowUnturned(name) ? KeptCopyLink(directory, name) : ""; !copy.empty())
        link = copy;
    std::string pictureUrl = linkBase + link;
    page.Send("<td align=\"center\"><a href=\"" + pictureUrl + "\"><img src=\"" + thumbnailUrl + "\"" + attributes +
              "></a><br></td>");
    std::string lastLine;
    // Without a caption file the caption cell is still opened (empty), so that
    // the listing line and the closing tag below stay balanced.
    page.Send("<td align=\"center\" width=\"180\"><font color=\"black\">");
    if (!captionFile.empty()) lastLine = ReadFirstLine(captionFile);
    page.Send(lastLine);
    page.Send("</font>");
    if (!listingFile.empty()) {
        page.Send("<br><font color=\"red\" size=1 face=\"MSsans\">");
        lastLine = ReadFirstLine(listingFile);
        page.Send(lastLine);
        page.Send("</font>");
    }
    page.Send("</td>");
    TraceLine("Image " + lastLine);
    return true;
}

namespace {
// The page's sorted picture list of the folder, with the scan's trace lines.
std::vector<std::string> ScanPictureList(const std::string& directory) {
    std::string mask = directory + "*.idd";
    TraceLine("Filemask " + mask);
    PictureList list;
    const std::vector<std::string> extensions = PictureExtensions();
    std::vector<platform::DirEntry> found = folder_view::FindFiles(mask);
    if (!found.empty()) {
        AddPicturesOf(directory, found[0].name, extensions, list);
        size_t next = 1;
        for (; next < found.size() && next <= static_cast<size_t>(MaxFurtherListingFiles); ++next) {
            TraceLine(found[next].name);
            AddPicturesOf(directory, found[next].name, extensions, list);
        }
        if (next >= found.size()) TraceLine("");
    }
    return list.Entries();
}
}  // namespace

std::vector<std::string> PagePictures(const std::string& directory) {
    std::vector<std::string> pictures;
    for (const std::string& entry : ScanPictureList(directory)) pictures.push_back(PictureNameOf(entry));
    return pictures;
}

namespace {
// The table's cells and the trace lines from the list's scan on: made from
// the folder's files, the picture directory and the start of the links.
std::shared_ptr<kept_folders::KeptRendering> MakePictureTable(GalleryRequest& request, const std::string& directory,
                                                              const std::string& linkBase) {
    auto table = std::make_shared<kept_folders::KeptRendering>();
    TraceSink::Copy copy(request.Trace(), table->traceLines);
    std::vector<std::string> entries = ScanPictureList(directory);
    MakeMissingThumbnails(directory, entries);
    int cell = 0;
    for (const std::string& entry : entries) {
        if (PictureCell(PictureNameOf(entry), directory, linkBase, table->html)) {
            if (++cell < PicturesPerRow) {
                PageText(table->html).Send("<td></td>");
            } else {
                cell = 0;
                PageText(table->html).Send("</tr><tr>");
            }
        }
    }
    for (const std::string& entry : entries) TraceLine("File: " + entry);
    table->number = static_cast<int>(entries.size());
    return table;
}
}  // namespace

int WritePictureTable() {
    GalleryRequest& request = CurrentRequest();
    TraceLine("Start");
    std::string directory = PictureDirectory();
    std::string linkBase = LinkBase();
    // A resident process keeps the table with the folder while it stays
    // unchanged: the same folder asked for under the same start of links
    // makes the same table, and traces the same lines.
    FolderView& folders = request.Folders();
    std::shared_ptr<kept_folders::FolderSnapshot> kept = folders.Kept(directory);
    if (std::shared_ptr<const kept_folders::KeptRendering> table = folders.KeptRendering(directory, linkBase)) {
        for (const std::string& line : table->traceLines) TraceLine(line);
        SendGathered(table->html);
        return table->number;
    }
    // Kept only when every lookup that made it was answered from the kept
    // folder; with the files it read and their stamps on a folder followed
    // by stamps.
    FolderView::Record record(folders, directory);
    std::shared_ptr<kept_folders::KeptRendering> table = MakePictureTable(request, directory, linkBase);
    SendGathered(table->html);
    int number = table->number;
    if (kept && record.OnlyKept()) {
        table->dependsOn = record.Dependencies();
        kept->KeepRendering(linkBase, std::move(table));
    }
    return number;
}

void PhotoPage() {
    PageHead();
    HttpSend("<center><font size=+1 color=\"red\">");
    HttpSend(PageTitle("Photo Page"));
    HttpSend("</font><br>");
    HttpSend("");
    HttpSend(" It may take a few moments for all the images to load.  Click the Thumbnail Image for the full "
             "resolution image.");
    // The slideshow link names this program by its own file name.
    std::string program = kit::FileNamePart(platform::ModulePath());
    HttpSend("  <a href=\"" + UrlPathEncode(program) + "?W\"> Click Here for Slideshow. </a>");
    HttpSend("<center><table border=1 cellpadding=5><tr>");
    int count = WritePictureTable();
    HttpSend("</tr></table></center><br>");
    HttpSend("<center><font color=\"black\" size=2>");
    HttpSend("<br>");
    HttpSend(std::to_string(count) + " Images Posted");
    HttpSend("</font><br><br>");
    HttpSend("</center>");
    std::string counter = folder_view::Existing(PictureDirectory() + "tally2.exe");
    if (!counter.empty()) {
        HttpSend("<br>");
        std::string programBase = kit::FileNamePart(kit::WithoutExtension(platform::ModulePath()));
        HttpSend("<center><img src=\"" + LinkBase() + UrlPathEncode(kit::FileNamePart(counter)) + "?S" +
                 UrlPathEncode(programBase) + "\" WIDTH=70 HEIGHT=22 HSPACE=5 BORDER=0 ALIGN=middle ALT=\"Counter\" ></center>");
    }
    PageFooter();
}
