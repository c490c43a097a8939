// The gallery's pages, byte for byte, from the built program run as CGI in a
// folder of pictures.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/CgiHarness.h"
#include "support/Pictures.h"

using namespace testing_support;

namespace {

const std::string CRLF = "\r\n";
const std::string Host = "http://localhost:8080/";

std::string Head(const std::string& headerLines = "") {
    return "<html><head><meta name=\"Generator\" content=\"Gallerist - Varnholt\">\r\n"
           "<title>Gallerist by Varnholt</title>\r\n" +
           headerLines +
           "</head> <body bgcolor=\"#FFE8C4\" link=\"FF0000\" vlink=\"#FF0000\" text=\"#0000FF\">\r\n";
}

const std::string Footer =
    "<br><p><center><font size=-2>Pictorama 1.0 2026 <a href=\"mailto:gallery@pictorama.example\">Varnholt</a>"
    "</font></center></body></html>\r\n";

std::string PhotoPage(const std::string& cells, int count, const std::string& title = "Photo Page",
                      const std::string& headerLines = "", const std::string& counter = "") {
    return Head(headerLines) + "<center><font size=+1 color=\"red\">\r\n" + title + CRLF + "</font><br>\r\n\r\n" +
           " It may take a few moments for all the images to load.  Click the Thumbnail Image for the full "
           "resolution image.\r\n" +
           "  <a href=\"pictorama.cgi?W\"> Click Here for Slideshow. </a>\r\n" +
           "<center><table border=1 cellpadding=5><tr>\r\n" + cells + "</tr></table></center><br>\r\n" +
           "<center><font color=\"black\" size=2>\r\n<br>\r\n" + std::to_string(count) + " Images Posted\r\n" +
           "</font><br><br>\r\n</center>\r\n" + counter + Footer;
}

// The cells of one picture: thumbnail link, caption cell, listing line.
std::string Cell(const std::string& picture, const std::string& thumbnail, int w, int h, const std::string& caption,
                 const std::string* listing) {
    std::string s = "<td align=\"center\"><a href=\"" + Host + picture + "\"><img src=\"" + Host + thumbnail +
                    "\" width=" + std::to_string(w) + " height=" + std::to_string(h) + "></a><br></td>\r\n";
    s += "<td align=\"center\" width=\"180\"><font color=\"black\">\r\n" + caption + CRLF + "</font>\r\n";
    if (listing) s += "<br><font color=\"red\" size=1 face=\"MSsans\">\r\n" + *listing + CRLF + "</font>\r\n";
    return s + "</td>\r\n";
}

void Picture(const GalleryFolder& g, const std::string& name, int w, int h, const std::string& caption,
             const std::string& key) {
    std::string base = name.substr(0, name.rfind('.'));
    if (name.ends_with(".gif") || name.ends_with(".GIF")) MakeGif(g / name, w, h);
    else MakeJpeg(g / name, w, h);
    WriteFile(g / (base + ".txt"), caption + "\r\n");
    WriteFile(g / (base + ".idd"), key + "\r\n");
}

std::string Body(const CgiResponse& r) {
    EXPECT_EQ(r.process.exitCode, 0);
    return r.body;
}

}  // namespace

TEST(PhotoPage, EmptyFolderShowsNoPictures) {
    GalleryFolder g;
    CgiResponse r = g.Get();
    EXPECT_EQ(Body(r), PhotoPage("", 0));
    EXPECT_NE(r.head.find("content-length: " + std::to_string(r.body.size()) + "\r\nConnection: Keep-Alive\r\n"),
              std::string::npos);
}

TEST(PhotoPage, OrderIsListingKeyThenName) {
    GalleryFolder g;
    Picture(g, "q.jpg", 80, 60, "Q", "2004");
    Picture(g, "p.jpg", 80, 60, "P", "2005");
    Picture(g, "r.gif", 80, 60, "R", "2004");
    std::string k2004 = "2004", k2005 = "2005";
    std::string expected = Cell("q.jpg", "t_q.jpg", 80, 60, "Q", &k2004) + "<td></td>\r\n" +
                           Cell("r.gif", "t_r.jpg", 80, 60, "R", &k2004) + "<td></td>\r\n" +
                           Cell("p.jpg", "t_p.jpg", 80, 60, "P", &k2005) + "</tr><tr>\r\n";
    EXPECT_EQ(Body(g.Get()), PhotoPage(expected, 3));
    auto trace = g.TraceLines();
    ASSERT_GE(trace.size(), 10u);
    EXPECT_EQ(trace[7], "Start");
    EXPECT_EQ(trace[8], "Filemask " + (g / "*.idd"));
    EXPECT_EQ(trace[trace.size() - 3], "File: 2004&&q.jpg");
    EXPECT_EQ(trace[trace.size() - 2], "File: 2004&&r.gif");
    EXPECT_EQ(trace[trace.size() - 1], "File: 2005&&p.jpg");
}

TEST(PhotoPage, SevenPicturesFillRowsOfThree) {
    GalleryFolder g;
    std::string key = "k", cells;
    for (int i = 0; i < 7; ++i) {
        std::string name = std::string(1, static_cast<char>('a' + i)) + ".jpg";
        Picture(g, name, 40, 30, "c", key);
        cells += Cell(name, "t_" + name, 40, 30, "c", &key);
        cells += (i % 3 == 2) ? "</tr><tr>\r\n" : "<td></td>\r\n";
    }
    EXPECT_EQ(Body(g.Get()), PhotoPage(cells, 7));
}

TEST(PhotoPage, ThumbnailListingIsCountedButGetsNoCell) {
    GalleryFolder g;
    MakeJpeg(g / "t_x.jpg", 40, 30);
    WriteFile(g / "t_x.idd", "k\r\n");
    EXPECT_EQ(Body(g.Get()), PhotoPage("", 1));
}

TEST(PhotoPage, JpegAndGifOfOneNameShareOneThumbnail) {
    GalleryFolder g;
    Picture(g, "x.jpg", 80, 60, "X", "k");
    MakeGif(g / "x.gif", 30, 20);
    std::string key = "k";
    // The GIF sorts first, so its thumbnail is made and serves the JPEG too.
    std::string expected = Cell("x.gif", "t_x.jpg", 30, 20, "X", &key) + "<td></td>\r\n" +
                           Cell("x.jpg", "t_x.jpg", 30, 20, "X", &key) + "<td></td>\r\n";
    EXPECT_EQ(Body(g.Get()), PhotoPage(expected, 2));
}

TEST(PhotoPage, MissingCaptionFileGivesAnEmptyCaption) {
    GalleryFolder g;
    MakeJpeg(g / "x.jpg", 80, 60);
    WriteFile(g / "x.idd", "2004\r\n");
    std::string key = "2004";
    EXPECT_EQ(Body(g.Get()), PhotoPage(Cell("x.jpg", "t_x.jpg", 80, 60, "", &key) + "<td></td>\r\n", 1));
}

TEST(PhotoPage, CounterProgramIsLinkedAsAnImage) {
    GalleryFolder g;
    WriteFile(g / "tally2.exe", "#!/bin/sh\n");
    std::string counter =
        "<br>\r\n<center><img src=\"" + Host +
        "tally2.exe?Spictorama\" WIDTH=70 HEIGHT=22 HSPACE=5 BORDER=0 ALIGN=middle ALT=\"Counter\" ></center>\r\n";
    EXPECT_EQ(Body(g.Get()), PhotoPage("", 0, "Photo Page", "", counter));
}

TEST(PhotoPage, HeaderLinesTitleAndThumbnailSizeFromSettingsFiles) {
    GalleryFolder g;
    WriteFile(g / "header.txt", "<meta name=\"x\" content=\"y\">\r\n\r\n<style>td{}</style>");
    WriteFile(g / "pagetitle.txt", "My <b>Pictures</b>\r\nTHUMBSIZE:60,85\r\nTHUMBSIZE: 75 , 120\r\n");
    Picture(g, "a.jpg", 800, 600, "A", "k");
    std::string key = "k";
    EXPECT_EQ(Body(g.Get()), PhotoPage(Cell("a.jpg", "t_a.jpg", 99, 75, "A", &key) + "<td></td>\r\n", 1,
                                       "My <b>Pictures</b>",
                                       "<meta name=\"x\" content=\"y\">\r\n\r\n<style>td{}</style>\r\n"));
}

TEST(PhotoPage, UpperCaseCameraNamesAreListedAndLinkedByTheirOwnNames) {
    GalleryFolder g;
    MakeJpeg(g / "IMG_0001.JPG", 80, 60);
    WriteFile(g / "IMG_0001.IDD", "k\r\n");
    WriteFile(g / "IMG_0001.TXT", "Camera\r\n");
    std::string key = "k";
    EXPECT_EQ(Body(g.Get()),
              PhotoPage(Cell("IMG_0001.JPG", "t_IMG_0001.jpg", 80, 60, "Camera", &key) + "<td></td>\r\n", 1));
    EXPECT_TRUE(Exists(g / "t_IMG_0001.jpg"));
}

TEST(PhotoPage, NamesAreEncodedInLinksAndTheHostIsEscaped) {
    GalleryFolder g;
    Picture(g, "a b#1%.jpg", 80, 60, "odd", "k");
    CgiResponse r = g.Get("", {{"HTTP_HOST", "h\"x"}});
    EXPECT_NE(r.body.find("<a href=\"http://h&quot;x/a%20b%231%25.jpg\"><img src=\"http://h&quot;x/t_a%20b%231%25.jpg\""),
              std::string::npos)
        << r.body;
}

TEST(PhotoPage, ScriptInASubfolderLinksThroughThatFolder) {
    GalleryFolder g;
    std::filesystem::create_directory(g / "photos");
    Picture(g, "photos/a.jpg", 80, 60, "A", "k");
    auto env = g.Environment("");
    env["SCRIPT_NAME"] = "/photos/pictorama.cgi";
    CgiResponse r = g.Run(env);
    EXPECT_NE(r.body.find("<a href=\"http://localhost:8080/photos/a.jpg\">"), std::string::npos) << r.body;
    EXPECT_TRUE(Exists(g / "photos/t_a.jpg"));
}

TEST(PhotoPage, PostGetsThePhotoPageWithWorkingLinks) {
    GalleryFolder g;
    Picture(g, "a.jpg", 80, 60, "A", "k");
    CgiResponse r = g.Post("x=1");
    EXPECT_NE(r.body.find("<a href=\"" + Host + "a.jpg\">"), std::string::npos) << r.body;
}

TEST(RepairAction, CreatesMissingSideFilesThenThePhotoPageListsThem) {
    GalleryFolder g;
    MakeJpeg(g / "x.jpg", 40, 30);
    MakeGif(g / "x.gif", 10, 10);
    MakeJpeg(g / "y.jpg", 40, 30);
    WriteFile(g / "y.txt", "Kept\r\n");
    MakeJpeg(g / "t_z.jpg", 10, 10);
    CgiResponse r = g.Get("REPAIR");
    std::string body = Body(r);
    std::string tail = "<html><body bgcolor=\"#FFFFFF\" text=\"#0000AA\">\r\n<font size=4> - Files Repaired -</font><p>\r\n" + Footer;
    ASSERT_TRUE(body.ends_with(tail)) << body;
    std::string created = body.substr(0, body.size() - tail.size());
    // Directory order decides which picture comes first; each picture's
    // listing file comes before its caption file.
    EXPECT_NE(created.find("<br>Created " + (g / "x.idd") + "\r\n<br>Created " + (g / "x.txt") + "\r\n"),
              std::string::npos) << created;
    EXPECT_NE(created.find("<br>Created " + (g / "y.idd") + "\r\n"), std::string::npos);
    EXPECT_EQ(created.find("y.txt"), std::string::npos);
    EXPECT_EQ(created.find("t_z"), std::string::npos);
    EXPECT_EQ(ReadFile(g / "x.idd"), "  \r\n");
    EXPECT_EQ(ReadFile(g / "y.txt"), "Kept\r\n");
    EXPECT_EQ(Body(g.Get("REPAIR")), tail);

    std::string blank = "  ";
    std::string expected = Cell("x.gif", "t_x.jpg", 10, 10, "  ", &blank) + "<td></td>\r\n" +
                           Cell("x.jpg", "t_x.jpg", 10, 10, "  ", &blank) + "<td></td>\r\n" +
                           Cell("y.jpg", "t_y.jpg", 40, 30, "Kept", &blank) + "</tr><tr>\r\n";
    EXPECT_EQ(Body(g.Get()), PhotoPage(expected, 3));
}

TEST(RepairAction, NamesAreEscapedInThePageAndTheFilesKeepThem) {
    GalleryFolder g;
    MakeJpeg(g / "Tom & Jerry <1>.jpg", 20, 15);
    MakeJpeg(g / "say \"cheese\".jpg", 20, 15);
    std::string body = Body(g.Get("REPAIR"));
    EXPECT_NE(body.find("<br>Created " + (g / "Tom &amp; Jerry &lt;1&gt;.idd") + "\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("<br>Created " + (g / "say &quot;cheese&quot;.txt") + "\r\n"), std::string::npos) << body;
    EXPECT_EQ(body.find("<1>"), std::string::npos);
    EXPECT_EQ(body.find("\"cheese"), std::string::npos);
    EXPECT_EQ(ReadFile(g / "Tom & Jerry <1>.idd"), "  \r\n");
    EXPECT_EQ(ReadFile(g / "say \"cheese\".txt"), "  \r\n");
}

TEST(ReportPage, ListsTheVariablesSortedAndEscaped) {
    GalleryFolder g;
    std::map<std::string, std::string> env = {{"GATEWAY_INTERFACE", "CGI/1.1"},
                                              {"REQUEST_METHOD", "GET"},
                                              {"QUERY_STRING", "S"},
                                              {"SERVER_SOFTWARE", "test"},
                                              {"HTTP_X_EVIL", "<script>&\""}};
    CgiResponse r = g.Run(env);
    EXPECT_EQ(WithoutSystemVariables(Body(r)), "<html><body bgcolor=\"#FFFFFF\" text=\"#0000AA\">\r\n<font size=4> - REPORT -</font><p>\r\n"
                       "GATEWAY_INTERFACE=CGI/1.1<br>\r\nHTTP_X_EVIL=&lt;script&gt;&amp;&quot;<br>\r\n"
                       "QUERY_STRING=S<br>\r\nREQUEST_METHOD=GET<br>\r\nSERVER_SOFTWARE=test<br>\r\n" +
                           Footer);
}

TEST(ReportPage, LowerCaseOrExtendedQueryIsThePhotoPage) {
    GalleryFolder g;
    EXPECT_EQ(Body(g.Get("s")), PhotoPage("", 0));
    EXPECT_EQ(Body(g.Get("S&x=1")), PhotoPage("", 0));
}
