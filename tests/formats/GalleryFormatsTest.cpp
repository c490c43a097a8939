// The gallery with the formats read through libraries, the built program run
// as CGI: with PICTORAMA_FORMATS unset a folder holding them is served as if
// they were not there; turned on, each is listed in its place, repaired,
// thumbnailed upright, stepped through by the slideshow, and linked so that
// any browser shows it (HEIC and HEIF through a JPEG made of them).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

#include "FormatPictures.h"
#include "app/PictureFormats.h"
#include "imaging/Jpeg.h"
#include "imaging/Orientation.h"
#include "imaging/Picture.h"
#include "platform/Stream.h"
#include "support/CgiHarness.h"
#include "support/FastCgiClient.h"
#include "support/Pictures.h"

using namespace testing_support;
using format_pictures::MeanDifference;

namespace fs = std::filesystem;

namespace {

const std::map<std::string, std::string> On = {{"PICTORAMA_FORMATS", "all"}};

// The picture every file holds, upright: wider than high, so that a turn
// shows in the thumbnail's size.
const TBitmap& Upright() {
    static const TBitmap picture = format_pictures::SmoothPicture(200, 100);
    return picture;
}

// One file of each new format, stored turned where the format can say so:
// the HEIC by its own rotation, the WebP by an EXIF orientation, the PNG
// with transparency.
std::map<std::string, std::string> NewFormatFiles() {
    // Stored a quarter turned the other way, with orientation 6 to show it upright.
    const TBitmap stored = imaging::OrientUpright(Upright(), 8);
    format_pictures::HeifOptions heic;
    heic.orientation = 6;
    format_pictures::HeifOptions avif;
    avif.av1 = true;
    format_pictures::WebpOptions webp;
    webp.lossless = false;
    webp.exif = format_pictures::TiffOrientationBlock(6);
    format_pictures::PngOptions png;
    png.kind = format_pictures::PngKind::RgbAlpha;
    return {
        {"png", format_pictures::EncodePng(Upright(), png)},
        {"webp", format_pictures::EncodeWebp(stored, webp)},
        {"heic", format_pictures::EncodeHeif(stored, heic)},
        {"heif", format_pictures::EncodeHeif(stored, heic)},
        {"avif", format_pictures::EncodeHeif(Upright(), avif)},
    };
}

void SideFiles(const GalleryFolder& g, const std::string& base, const std::string& caption, const std::string& key) {
    WriteFile(g / (base + ".txt"), caption + "\r\n");
    WriteFile(g / (base + ".idd"), key + "\r\n");
}

TBitmap LoadJpeg(const std::string& path) {
    TBitmap out;
    LoadJpegFile(path, out);
    return out;
}

// Everything the gallery made in the folder: generated files and what the
// requests traced.
void ForgetMade(const GalleryFolder& g) {
    for (const auto& entry : fs::directory_iterator(g.Path())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("t_") || name.starts_with("SlideNext") || name.ends_with(".tst")) fs::remove_all(entry);
    }
}

struct Served {
    std::string page, pageTrace, slideshow, slideshowTrace, slide, slideshow2, repair, repairTrace;
};

Served ServeAll(const GalleryFolder& g, const std::map<std::string, std::string>& env) {
    Served s;
    s.page = g.Get("", env).body;
    for (const auto& line : g.TraceLines()) s.pageTrace += line + "\n";
    s.slideshow = g.Get("W", env).body;
    for (const auto& line : g.TraceLines()) s.slideshowTrace += line + "\n";
    s.slide = ReadFile(g / "t_SLIDEIMAGE.JPG");
    s.slideshow2 = g.Get("W", env).body;
    s.repair = g.Get("REPAIR", env).body;
    for (const auto& line : g.TraceLines()) s.repairTrace += line + "\n";
    return s;
}

}  // namespace

TEST(GalleryFormats, TheSettingNamesTheExtensionsInPageOrder) {
    using V = std::vector<std::string>;
    const V classic = {".jpg", ".gif"};
    const V all = {".jpg", ".gif", ".png", ".webp", ".heic", ".heif", ".avif"};
    EXPECT_EQ(ParsePictureFormats(""), classic);
    EXPECT_EQ(ParsePictureFormats("classic"), classic);
    EXPECT_EQ(ParsePictureFormats("nonsense"), classic);
    EXPECT_EQ(ParsePictureFormats("all"), all);
    EXPECT_EQ(ParsePictureFormats("ALL"), all);
    EXPECT_EQ(ParsePictureFormats("png heic gif jpg"), (V{".jpg", ".gif", ".png", ".heic"}));
    EXPECT_EQ(ParsePictureFormats("classic,avif, webp"), (V{".jpg", ".gif", ".webp", ".avif"}));
    EXPECT_EQ(ParsePictureFormats("heic jpeg"), (V{".heic"}));
}

TEST(GalleryFormats, WithTheSettingOffAFolderOfEveryFormatIsServedAsWithoutThem) {
    GalleryFolder g;
    MakeJpeg(g / "a.jpg", 120, 90);
    MakeGif(g / "b.gif", 60, 40);
    MakeJpeg(g / "c.jpg", 90, 120);
    SideFiles(g, "a", "A", "1");
    SideFiles(g, "b", "B", "2");
    SideFiles(g, "c", "C", "3");
    // The new formats' side files are there in both: only the pictures differ.
    for (const auto& [extension, bytes] : NewFormatFiles()) SideFiles(g, "n" + extension, extension, "4");
    const Served without = ServeAll(g, {});
    ForgetMade(g);
    for (const auto& [extension, bytes] : NewFormatFiles()) {
        WriteFile(g / ("n" + extension + "." + extension), bytes);
        // Pictures without side files: the repair action passes them over.
        WriteFile(g / ("m" + extension + "." + extension), bytes);
    }
    for (const char* setting : {"", "classic", "jpg gif"}) {
        ForgetMade(g);
        const Served with = ServeAll(g, setting[0] ? std::map<std::string, std::string>{{"PICTORAMA_FORMATS", setting}}
                                                    : std::map<std::string, std::string>{});
        EXPECT_EQ(with.page, without.page) << setting;
        EXPECT_EQ(with.pageTrace, without.pageTrace) << setting;
        EXPECT_EQ(with.slideshow, without.slideshow) << setting;
        EXPECT_EQ(with.slideshowTrace, without.slideshowTrace) << setting;
        EXPECT_EQ(with.slide, without.slide) << setting;
        EXPECT_EQ(with.slideshow2, without.slideshow2) << setting;
        EXPECT_EQ(with.repair, without.repair) << setting;
        EXPECT_EQ(with.repairTrace, without.repairTrace) << setting;
        EXPECT_FALSE(Exists(g / "mpng.idd"));
    }
}

TEST(GalleryFormats, TurnedOnEachFormatIsListedInItsPlaceAndThumbnailedUpright) {
    GalleryFolder g;
    // One base name in every format: one cell each, all sharing t_x.jpg, in
    // the list's order (the key, then the name).
    MakeJpeg(g / "x.jpg", 200, 100);
    MakeGif(g / "x.gif", 200, 100);
    const auto files = NewFormatFiles();
    for (const auto& [extension, bytes] : files) {
        WriteFile(g / ("x." + extension), bytes);
        WriteFile(g / ("p" + extension + "." + extension), bytes);
        SideFiles(g, "p" + extension, "caption " + extension, "2");
    }
    SideFiles(g, "x", "X", "1");
    const CgiResponse page = g.Get("", On);
    ASSERT_EQ(page.process.exitCode, 0);
    std::vector<std::string> links;
    const std::regex link("<a href=\"http://localhost:8080/([^\"]*)\"><img src=\"http://localhost:8080/([^\"]*)\" "
                          "width=(\\d+) height=(\\d+)>");
    std::map<std::string, std::pair<int, int>> sizes;
    for (auto it = std::sregex_iterator(page.body.begin(), page.body.end(), link); it != std::sregex_iterator(); ++it) {
        links.push_back((*it)[1]);
        sizes[(*it)[2]] = {std::stoi((*it)[3]), std::stoi((*it)[4])};
    }
    const std::vector<std::string> expected = {
        "x.avif", "x.gif", "pictorama.cgi?VIEW=x.heic", "pictorama.cgi?VIEW=x.heif", "x.jpg", "x.png", "x.webp",
        "pavif.avif", "pictorama.cgi?VIEW=pheic.heic", "pictorama.cgi?VIEW=pheif.heif", "ppng.png",
        // Turned by its EXIF orientation: linked through its upright JPEG.
        "t_pwebp.webp.jpeg"};
    EXPECT_EQ(links, expected);
    EXPECT_NE(page.body.find("12 Images Posted"), std::string::npos);
    // Every picture upright, 200 x 100: the fitting gives 140 x 70.
    for (const auto& [extension, bytes] : files) {
        const std::string thumbnail = "t_p" + extension + ".jpg";
        EXPECT_EQ(sizes[thumbnail], std::make_pair(140, 70)) << extension;
        TBitmap reference = extension == "png" ? format_pictures::ComposedReference(Upright()) : Upright();
        EXPECT_LT(MeanDifference(LoadJpeg(g / thumbnail), reference.StretchedCopy(140, 70)), 8.0) << extension;
    }
    // The trace says the same as for a JPEG.
    const auto trace = g.TraceLines();
    EXPECT_NE(std::find(trace.begin(), trace.end(), "Create Thumbnail file: " + (g / "pheic.heic")), trace.end());
    EXPECT_NE(std::find(trace.begin(), trace.end(), "Thumbnail size 70,140"), trace.end());
}

TEST(GalleryFormats, AHeicLinkGivesAJpegOfTheUprightPictureKeptForTheNextPage) {
    GalleryFolder g;
    const auto files = NewFormatFiles();
    WriteFile(g / "IMG 1.HEIC", files.at("heic"));
    SideFiles(g, "IMG 1", "phone", "1");
    const std::string cgiLink = "pictorama.cgi?VIEW=IMG%201.HEIC";
    EXPECT_NE(g.Get("", On).body.find(cgiLink), std::string::npos);
    const CgiResponse copy = g.Get("VIEW=IMG%201.HEIC", On);
    EXPECT_NE(copy.head.find("content-type: image/jpeg"), std::string::npos) << copy.head;
    MemoryStream bytes;
    bytes.WriteBuffer(copy.body.data(), static_cast<int64_t>(copy.body.size()));
    bytes.Seek(0, 0);
    int w = 0, h = 0;
    ASSERT_TRUE(ReadJpegHeader(bytes, w, h));
    EXPECT_EQ(w, 200);
    EXPECT_EQ(h, 100);
    ASSERT_TRUE(Exists(g / "t_IMG 1.HEIC.jpeg"));
    EXPECT_EQ(ReadFile(g / "t_IMG 1.HEIC.jpeg"), copy.body);
    EXPECT_LT(MeanDifference(LoadJpeg(g / "t_IMG 1.HEIC.jpeg"), Upright()), 4.0);
    // Kept: the page now links the file, which the web server sends.
    const std::string page = g.Get("", On).body;
    EXPECT_EQ(page.find(cgiLink), std::string::npos);
    EXPECT_NE(page.find("http://localhost:8080/t_IMG%201.HEIC.jpeg\""), std::string::npos);
    // A "+" in the name survives the query.
    WriteFile(g / "a+b.heic", files.at("heic"));
    SideFiles(g, "a+b", "plus", "2");
    EXPECT_NE(g.Get("", On).body.find("pictorama.cgi?VIEW=a%2Bb.heic\""), std::string::npos);
    EXPECT_NE(g.Get("VIEW=a%2Bb.heic", On).head.find("image/jpeg"), std::string::npos);
    // Nothing else is made or sent: not with the setting off, not for a name
    // outside the folder or of another kind.
    EXPECT_EQ(g.Get("VIEW=IMG%201.HEIC").head.find("image/jpeg"), std::string::npos);
    WriteFile(g / "p.png", files.at("png"));
    for (const char* query : {"VIEW=p.png", "VIEW=..%2FIMG%201.HEIC", "VIEW=none.heic", "VIEW=t_IMG%201.HEIC.jpeg"})
        EXPECT_EQ(g.Get(query, On).head.find("image/jpeg"), std::string::npos) << query;
}

TEST(GalleryFormats, ATurnedWebpOrPngIsLinkedThroughAnUprightJpegMadeWithItsThumbnail) {
    // Browsers show a WebP or PNG as stored, whatever its EXIF orientation.
    GalleryFolder g;
    const auto files = NewFormatFiles();
    WriteFile(g / "turned.webp", files.at("webp"));
    WriteFile(g / "plain.png", files.at("png"));
    SideFiles(g, "turned", "", "1");
    SideFiles(g, "plain", "", "2");
    const std::string page = g.Get("", On).body;
    ASSERT_TRUE(Exists(g / "t_turned.webp.jpeg"));
    EXPECT_NE(page.find("<a href=\"http://localhost:8080/t_turned.webp.jpeg\">"), std::string::npos) << page;
    EXPECT_LT(MeanDifference(LoadJpeg(g / "t_turned.webp.jpeg"), Upright()), 6.0);
    // Upright as stored: linked as it is.
    EXPECT_FALSE(Exists(g / "t_plain.png.jpeg"));
    EXPECT_NE(page.find("<a href=\"http://localhost:8080/plain.png\">"), std::string::npos);
}

TEST(GalleryFormats, TurnedOnRepairAndSlideshowTakeEveryFormatInTheirOrder) {
    GalleryFolder g;
    MakeJpeg(g / "x.jpg", 200, 100);
    MakeGif(g / "x.gif", 200, 100);
    for (const auto& [extension, bytes] : NewFormatFiles()) WriteFile(g / ("x." + extension), bytes);
    WriteFile(g / "y.avif", NewFormatFiles().at("avif"));
    const std::string repair = g.Get("REPAIR", On).body;
    // One pass per extension, in the page's order: x's side files from the JPEG, y's from the AVIF.
    const std::string expected = "<br>Created " + (g / "x.idd") + "\r\n<br>Created " + (g / "x.txt") +
                                 "\r\n<br>Created " + (g / "y.idd") + "\r\n<br>Created " + (g / "y.txt") + "\r\n";
    EXPECT_TRUE(repair.starts_with(expected)) << repair;
    std::vector<std::string> masks;
    for (const auto& line : g.TraceLines())
        if (line.starts_with("Filemask ")) masks.push_back(line.substr(9 + g.Path().size() + 1));
    EXPECT_EQ(masks, (std::vector<std::string>{"*.jpg", "*.gif", "*.png", "*.webp", "*.heic", "*.heif", "*.avif"}));

    // Every photo format but GIF, in name order; each slide upright.
    std::vector<std::string> shown;
    for (int i = 0; i < 7; ++i) {
        g.Get("W", On);
        for (const auto& line : g.TraceLines())
            if (line.starts_with("Selected Slide File ")) shown.push_back(line.substr(20));
        int w = 0, h = 0;
        ASSERT_TRUE(JpegSize(g / "t_SLIDEIMAGE.JPG", w, h)) << shown.back();
        EXPECT_EQ(std::make_pair(w, h), std::make_pair(200, 100)) << shown.back();
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"x.avif", "x.heic", "x.heif", "x.jpg", "x.png", "x.webp", "y.avif"}));
}

TEST(GalleryFormats, AnUndecodablePictureOfANewFormatGetsTheEmptyThumbnailAndALogLine) {
    GalleryFolder g;
    for (const char* name : {"bad.png", "bad2.webp", "bad3.heic"}) {
        WriteFile(g / name, std::string("not a picture at all"));
        SideFiles(g, fs::path(name).stem().string(), "", "1");
    }
    const CgiResponse page = g.Get("", On);
    EXPECT_EQ(page.process.exitCode, 0);
    for (const char* thumbnail : {"t_bad.jpg", "t_bad2.jpg", "t_bad3.jpg"}) {
        ASSERT_TRUE(Exists(g / thumbnail)) << thumbnail;
        EXPECT_EQ(ReadFile(g / thumbnail), "") << thumbnail;
        EXPECT_NE(page.body.find(std::string(thumbnail) + "\" width=0 height=0>"), std::string::npos) << thumbnail;
    }
    const std::string log = Exists(g / "log/pictorama.Log") ? ReadFile(g / "log/pictorama.Log") : std::string();
    EXPECT_NE(log.find("bad3.heic"), std::string::npos) << log;
}

TEST(GalleryFormats, TheOwnersCommandMakesTheThumbnailsOfTheNewFormats) {
    GalleryFolder g;
    for (const auto& [extension, bytes] : NewFormatFiles()) {
        WriteFile(g / ("p" + extension + "." + extension), bytes);
        SideFiles(g, "p" + extension, "", "1");
    }
    ProcessResult made = RunProgram(g.Program(), {"--make-thumbnails"}, {{"PATH", "/usr/bin:/bin"}, {"PICTORAMA_FORMATS", "all"}});
    EXPECT_EQ(made.exitCode, 0) << made.err;
    for (const auto& [extension, bytes] : NewFormatFiles()) {
        int w = 0, h = 0;
        EXPECT_TRUE(JpegSize(g / ("t_p" + extension + ".jpg"), w, h)) << extension;
        EXPECT_EQ(std::make_pair(w, h), std::make_pair(140, 70)) << extension;
    }
}

TEST(GalleryFormats, UnderFastCgiTheCopysTypeIsItsRequestsAlone) {
    GalleryFolder g;
    WriteFile(g / "p.heic", NewFormatFiles().at("heic"));
    SideFiles(g, "p", "phone", "1");
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_PROGRAM_PATH, elsewhere.Path(), {{"PATH", "/usr/bin:/bin"}, {"PICTORAMA_FORMATS", "all"}},
                         FastCgiServer::Start::SocketOnStandardInput, {});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    for (int i = 0; i < 2; ++i) {
        const FastCgiResponse copy = FastCgiRequest(server.SocketPath(), g.Environment("VIEW=p.heic"));
        EXPECT_NE(copy.out.find("\r\ncontent-type: image/jpeg\r\n"), std::string::npos) << copy.out.substr(0, 200);
        const FastCgiResponse page = FastCgiRequest(server.SocketPath(), g.Environment());
        EXPECT_NE(page.out.find("\r\ncontent-type: text/html\r\n"), std::string::npos) << page.out.substr(0, 200);
    }
}
