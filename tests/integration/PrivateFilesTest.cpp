// The files the program keeps to itself (trace, slideshow positions, kept
// slides, log, the server mode's exchange folder): beside the program by
// default, in the folder named by CGI_PRIVATE_DIR when the web server's config
// sets it.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/CgiHarness.h"
#include "support/Pictures.h"
#include "support/ServerHarness.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A kept slide is named after its picture's version: "t_SLIDEIMAGE.~" and
// 16 hex digits, listed here as KeptSlide.
const std::string KeptSlide = "t_SLIDEIMAGE.~(kept)";

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        std::string name = e.path().filename().string();
        bool kept = name.starts_with("t_SLIDEIMAGE.~") && name.size() == 14 + 16 &&
                    name.find_first_not_of("0123456789abcdef", 14) == std::string::npos;
        names.insert(kept ? KeptSlide : name);
    }
    return names;
}

void AddPicture(const GalleryFolder& g) {
    MakeJpeg(g / "harbour.jpg", 64, 48);
    WriteFile(g / "harbour.idd", "2004\r\n");
    WriteFile(g / "harbour.txt", "Harbour\r\n");
}

// A photo page, a slideshow step and a failing request (a refused multipart body).
void Visit(const GalleryFolder& g, const std::map<std::string, std::string>& extra) {
    EXPECT_EQ(g.Get("", extra).process.exitCode, 0);
    auto slide = extra;
    slide["REMOTE_ADDR"] = "10.0.0.7";
    EXPECT_EQ(g.Get("W", slide).process.exitCode, 0);
    auto failing = extra;
    failing["CONTENT_TYPE"] = "multipart/form-data; boundary=x";
    CgiResponse r = g.Post("--x--", "", failing);
    EXPECT_NE(r.body.find("Unhandled Exception"), std::string::npos);
}

std::set<std::string> Published() {
    std::set<std::string> names = {"pictorama.cgi", "harbour.jpg",   "harbour.idd",
                                   "harbour.txt",   "t_harbour.jpg", "t_SLIDEIMAGE.JPG"};
    // The slide under its second name: one more file only where case tells names apart.
    if (!FileNamesIgnoreCase()) names.insert("t_SLIDEIMAGE.jpg");
    return names;
}
const std::set<std::string> PublishedFiles = Published();

}  // namespace

TEST(PrivateFolder, WithTheSettingNothingPrivateIsLeftInTheGallery) {
    GalleryFolder g;
    AddPicture(g);
    TempDir outside;
    fs::permissions(outside.Path(), fs::perms::all);
    std::string priv = outside / "private";  // made by the program
    Visit(g, {{"CGI_PRIVATE_DIR", priv}});
    EXPECT_EQ(Names(g.Path()), PublishedFiles);
    std::set<std::string> expected = {"pictorama.tst", "SlideNext10.0.0.7.txt", KeptSlide, "log"};
    EXPECT_EQ(Names(priv), expected);
    EXPECT_EQ(ReadFile(priv + "/SlideNext10.0.0.7.txt"), "0\r\n");
    EXPECT_NE(ReadFile(priv + "/log/pictorama.Log").find("Unhandled Exception: Method not supported"),
              std::string::npos);
    // The refused request never reached the gallery: the trace is the slideshow's.
    EXPECT_EQ(ReadFile(priv + "/pictorama.tst").rfind("Query_string W\r\n", 0), 0u);
}

TEST(PrivateFolder, WithoutTheSettingTheFilesStayBesideTheProgram) {
    GalleryFolder g;
    AddPicture(g);
    Visit(g, {});
    std::set<std::string> expected = PublishedFiles;
    expected.insert({"pictorama.tst", "SlideNext10.0.0.7.txt", KeptSlide, "log"});
    EXPECT_EQ(Names(g.Path()), expected);
    EXPECT_EQ(g.TraceLines().at(0), "Query_string W");
}

TEST(PrivateFolder, RelativeNameIsTakenFromTheProgramsFolderAndTheLogFolderSettingStillWins) {
    GalleryFolder g;
    AddPicture(g);
    TempDir logs;
    fs::permissions(logs.Path(), fs::perms::all);
    Visit(g, {{"CGI_PRIVATE_DIR", "keep/"}, {"CGI_LOG_DIR", logs.Path()}});
    std::set<std::string> expected = {"pictorama.tst", "SlideNext10.0.0.7.txt", KeptSlide};
    EXPECT_EQ(Names(g / "keep"), expected);
    EXPECT_TRUE(Exists(logs / "pictorama.Log"));
}

TEST(PrivateFolder, ServerModeExchangeFolderMovesWithTheSetting) {
    GalleryFolder g;
    AddPicture(g);
    TempDir outside;
    fs::permissions(outside.Path(), fs::perms::all);
    std::string priv = outside / "private";
    CgiResponse direct = g.Get("abc", {{"CGI_PRIVATE_DIR", priv}});
    BackgroundProgram server(g.Program(), {}, {{"PATH", "/usr/bin:/bin"}, {"CGI_PRIVATE_DIR", priv}});
    std::string marker = priv + "/temp/pictorama.cgi_s";
    ASSERT_TRUE(WaitUntil([&] { return Exists(marker) && Exists(priv + "/temp/pictorama.cgi_S.lock"); }));
    fs::remove(priv + "/pictorama.tst");
    CgiResponse forwarded = g.Get("abc", {{"CGI_PRIVATE_DIR", priv}});
    EXPECT_EQ(forwarded.process.out, direct.process.out);
    EXPECT_EQ(ReadFile(priv + "/pictorama.tst").rfind("Query_string abc\r\n", 0), 0u);
    EXPECT_FALSE(Exists(g / "temp"));
    EXPECT_FALSE(Exists(g / "pictorama.tst"));
}
