// Which page a request reaches, and what the dispatcher leaves for the pages.
#include <gtest/gtest.h>

#include "app/Gallery.h"
#include "app/GalleryRequest.h"
#include "app/MainForm.h"
#include "app/Pages.h"
#include "platform/Path.h"
#include "support/EngineHarness.h"

using testing_support::TestCgiEngine;

namespace {
// Which page was called, and the URL directory the page found stored.
struct Recorder {
    std::string called;
    std::string urlDirectory = "untouched";
    PageTable saved = Pages();
    Recorder() {
        Pages().photo = [this] { Called("photo"); };
        Pages().report = [this] { Called("report"); };
        Pages().slideshow = [this] { Called("slideshow"); };
        Pages().repair = [this] { Called("repair"); };
    }
    ~Recorder() { Pages() = saved; }
    void Called(const char* page) {
        called = page;
        urlDirectory = CurrentRequest().urlDirectory;
    }
};

std::string Dispatch(const std::string& method, const std::string& query, std::string* urlDirectory = nullptr) {
    Recorder recorder;
    TestCgiEngine e;
    e.Run({{"REQUEST_METHOD", method}, {"QUERY_STRING", query}, {"SCRIPT_NAME", "/photos/pictorama.cgi"}}, "",
          [](THttpEngine*) { DispatchRequest(); });
    if (urlDirectory) *urlDirectory = recorder.urlDirectory;
    return recorder.called;
}
}  // namespace

TEST(Dispatch, ExactQueryWordsChooseTheirPages) {
    EXPECT_EQ(Dispatch("GET", "S"), "report");
    EXPECT_EQ(Dispatch("GET", "W"), "slideshow");
    EXPECT_EQ(Dispatch("GET", "REPAIR"), "repair");
}

TEST(Dispatch, AnythingElseIsThePhotoPageWithTheUrlDirectorySet) {
    for (std::string q : {"", "s", "w", "W&x=1", "%57", "repair"}) {
        std::string dir;
        EXPECT_EQ(Dispatch("GET", q, &dir), "photo") << q;
        EXPECT_EQ(dir, "/photos/") << q;
    }
}

TEST(Dispatch, NonGetMethodsGetThePhotoPageWithoutAStoredUrlDirectory) {
    for (std::string m : {"POST", "get", "", "HEAD"}) {
        std::string dir;
        EXPECT_EQ(Dispatch(m, "W", &dir), "photo") << m;
        EXPECT_EQ(dir, "") << m;  // nothing stored; not an earlier request's either
    }
}

TEST(GalleryLocations, PictureAndUrlDirectoryFollowTheScriptName) {
    TestCgiEngine e;
    std::string pictures, url, rootPictures, rootUrl, noRoot;
    e.Run({{"REQUEST_METHOD", "GET"}, {"SCRIPT_NAME", "/photos/pictorama.cgi"}, {"DOCUMENT_ROOT", "/srv/www"}}, "",
          [&](THttpEngine*) {
              pictures = PictureDirectory();
              url = UrlDirectory();
          });
    // The root and its native separator, then the URL's folder.
    EXPECT_EQ(pictures, std::string("/srv/www") + platform::NativeSeparator + "photos/");
    EXPECT_EQ(url, "/photos/");
    // A script at the server's root serves the document root itself.
    e.Run({{"REQUEST_METHOD", "GET"}, {"SCRIPT_NAME", "/pictorama.cgi"}, {"DOCUMENT_ROOT", "/srv/www/"}}, "",
          [&](THttpEngine*) {
              rootPictures = PictureDirectory();
              rootUrl = UrlDirectory();
          });
    EXPECT_EQ(rootPictures, "/srv/www/");
    EXPECT_EQ(rootUrl, "/");
    e.Run({{"REQUEST_METHOD", "GET"}, {"SCRIPT_NAME", "/photos/pictorama.cgi"}, {"PATH", ""}}, "",
          [&](THttpEngine*) { noRoot = PictureDirectory(); });
    EXPECT_EQ(noRoot, "photos/");
}
