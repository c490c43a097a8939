// What a resident FastCGI process keeps of a gallery's folder serves only
// while it is the folder on disk: a publish by symbolic link switch, a folder
// swapped for another, a change made behind a shared (FUSE) mount and the
// gallery's own slideshow files each leave the next page the one CGI makes.
#include <gtest/gtest.h>


#include <algorithm>
#include <filesystem>
#include <functional>

#include "support/CgiHarness.h"
#include "support/FastCgiClient.h"
#include "support/Pictures.h"
#include "support/RequiredTools.h"

using namespace testing_support;

namespace {

const std::map<std::string, std::string> ServerEnvironment = {{"PATH", "/usr/bin:/bin"}};

// A gallery published at <root>/site/photos/pictorama.cgi (the document
// root <root>/site), whatever stands on disk under those names (folders, a
// link, a mount).
struct Site {
    TempDir root;

    std::string DocumentRoot() const { return root / "site"; }
    std::string Gallery() const { return DocumentRoot() + "/photos"; }
    std::map<std::string, std::string> Variables(const std::string& query = "") const {
        return {
            {"GATEWAY_INTERFACE", "CGI/1.1"},      {"SERVER_SOFTWARE", "lighttpd/1.4.69"},
            {"SERVER_NAME", "localhost"},          {"SERVER_PORT", "8080"},
            {"SERVER_PROTOCOL", "HTTP/1.1"},       {"REQUEST_METHOD", "GET"},
            {"QUERY_STRING", query},               {"SCRIPT_NAME", "/photos/pictorama.cgi"},
            {"DOCUMENT_ROOT", DocumentRoot()},     {"SCRIPT_FILENAME", Gallery() + "/pictorama.cgi"},
            {"HTTP_HOST", "localhost:8080"},       {"REMOTE_ADDR", "127.0.0.1"},
            {"PATH", "/usr/bin:/bin"},
        };
    }
    std::string Cgi(const std::string& query = "") const {
        ProcessResult r = RunProgram(Gallery() + "/pictorama.cgi", {}, Variables(query));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }
    std::string FastCgi(const FastCgiServer& server, const std::string& query = "") const {
        FastCgiResponse r = FastCgiRequest(server.SocketPath(), Variables(query));
        EXPECT_TRUE(r.ended);
        return r.out;
    }
};

// A gallery folder of its own pictures, captions and the program.
void MakeRelease(const std::string& folder, const std::string& caption, int pictures) {
    std::filesystem::create_directories(folder);
    for (int i = 0; i < pictures; ++i) {
        std::string base = folder + "/p" + std::to_string(i);
        MakeJpeg(base + ".jpg", 40 + i, 30);
        WriteFile(base + ".txt", caption + " " + std::to_string(i) + "\r\n");
        WriteFile(base + ".idd", std::to_string(i) + "\r\n");
    }
    std::filesystem::copy_file(PICTORAMA_PROGRAM_PATH, folder + "/pictorama.cgi");
    std::filesystem::permissions(folder, std::filesystem::perms::all);
}

// "" when the pages are the same, else the line where they first differ in
// each (a whole page makes an unreadable failure message).
std::string Difference(const std::string& got, const std::string& expected) {
    if (got == expected) return {};
    size_t at = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first - got.begin();
    auto lineAt = [at](const std::string& page) {
        size_t start = page.rfind('\n', at);
        start = start == std::string::npos || start == at ? 0 : start + 1;
        size_t end = page.find_first_of("\r\n", start);
        return page.substr(start, end == std::string::npos ? std::string::npos : end - start);
    };
    return "got \"" + lineAt(got) + "\" where it should have \"" + lineAt(expected) + "\"";
}

std::unique_ptr<FastCgiServer> StartServer(const TempDir& elsewhere) {
    auto server = std::make_unique<FastCgiServer>(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                                                  FastCgiServer::Start::SocketOnStandardInput,
                                                  std::vector<std::string>{"--threads", "2"});
    EXPECT_TRUE(server->Running()) << server->ErrorOutput();
    return server;
}

}  // namespace

// A new version published by replacing a symbolic link at once, and a folder
// swapped for another under the same name (the gallery's own, or the site's
// above it): the first request after each is the new folder's CGI page, and
// so are the ones after it.
TEST(KeptFolderPages, ASwitchedLinkOrASwappedFolderIsServedAfreshAtOnce) {
    TempDir elsewhere;
    auto server = StartServer(elsewhere);
    struct Publish {
        std::string what;
        std::function<void(const Site&)> first, second;
    };
    const std::vector<Publish> publishes = {
        {"symbolic link switched",
         [](const Site& site) {
             MakeRelease(site.root / "releases/r1", "First release", 2);
             std::filesystem::create_directory(site.DocumentRoot());
             std::filesystem::create_directory_symlink("../releases/r1", site.Gallery());
         },
         [](const Site& site) {
             MakeRelease(site.root / "releases/r2", "Second release", 3);
             std::filesystem::create_directory_symlink("../releases/r2", site.DocumentRoot() + "/photos.new");
             std::filesystem::rename(site.DocumentRoot() + "/photos.new", site.Gallery());
         }},
        {"gallery folder swapped",
         [](const Site& site) { MakeRelease(site.Gallery(), "First release", 2); },
         [](const Site& site) {
             MakeRelease(site.DocumentRoot() + "/new", "Second release", 3);
             std::filesystem::rename(site.Gallery(), site.DocumentRoot() + "/photos-old");
             std::filesystem::rename(site.DocumentRoot() + "/new", site.Gallery());
         }},
        {"site folder swapped",
         [](const Site& site) { MakeRelease(site.Gallery(), "First release", 2); },
         [](const Site& site) {
             MakeRelease(site.root / "new/photos", "Second release", 3);
             std::filesystem::rename(site.DocumentRoot(), site.root / "site-old");
             std::filesystem::rename(site.root / "new", site.DocumentRoot());
         }},
    };
    for (const Publish& publish : publishes) {
        const std::string& what = publish.what;
        Site site;
        publish.first(site);
        std::string first = site.FastCgi(*server);
        ASSERT_EQ(Difference(first, site.Cgi()), "") << what;
        ASSERT_EQ(Difference(site.FastCgi(*server), first), "") << what << ": kept";
        publish.second(site);
        std::string cgi = site.Cgi();
        ASSERT_NE(cgi.find("Second release 2"), std::string::npos) << what;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(Difference(site.FastCgi(*server), cgi), "") << what << ", request " << i;
        // The new folder is followed in its turn.
        WriteFile(site.Gallery() + "/p0.txt", "Edited\r\n");
        std::string edited = site.Cgi();
        ASSERT_NE(edited.find("Edited"), std::string::npos);
        EXPECT_EQ(Difference(site.FastCgi(*server), edited), "") << what << ": a change in the new folder";
    }
}

// A slideshow viewer's requests write the gallery's own files into its
// folder (the visitor's position, the slide, files on their way into place):
// the photo page kept with the folder stays kept, while a change the site
// owner makes still shows at once. What tells a kept page: a caption changed
// through a second name outside the folder (a change not followed) shows
// only in a page made afresh.
TEST(KeptFolderPages, SlideshowViewersLeaveTheKeptPhotoPage) {
    GalleryFolder g;
    TempDir elsewhere, outside;
    for (const char* base : {"a", "b", "c"}) {
        MakeJpeg(g / (std::string(base) + ".jpg"), 64, 48);
        WriteFile(g / (std::string(base) + ".txt"), std::string("Caption ") + base + "\r\n");
        WriteFile(g / (std::string(base) + ".idd"), std::string(base) + "\r\n");
    }
    std::filesystem::remove(g / "a.txt");
    WriteFile(outside / "a.txt", "Caption a\r\n");
    std::filesystem::create_hard_link(outside / "a.txt", g / "a.txt");
    ASSERT_EQ(g.Get().process.exitCode, 0);  // makes the thumbnails
    auto server = StartServer(elsewhere);
    auto fastCgi = [&](const std::string& query, const std::string& address = "127.0.0.1") {
        auto variables = g.Environment(query);
        variables["REMOTE_ADDR"] = address;
        FastCgiResponse r = FastCgiRequest(server->SocketPath(), variables);
        EXPECT_TRUE(r.ended);
        return r.out;
    };
    const std::string page = fastCgi("");
    ASSERT_EQ(Difference(page, g.Get().process.out), "");
    WriteFile(outside / "a.txt", "Changed elsewhere\r\n");
    for (int visit = 0; visit < 4; ++visit) {
        std::string slideshow = fastCgi("W", "10.0.0." + std::to_string(visit % 2 + 1));
        ASSERT_NE(slideshow.find("t_SLIDEIMAGE.jpg"), std::string::npos) << slideshow;
        EXPECT_EQ(Difference(fastCgi(""), page), "") << "after slideshow request " << visit;
    }
    ASSERT_TRUE(Exists(g / "SlideNext10.0.0.2.txt"));
    WriteFile(g / "b.txt", "Caption b, edited\r\n");
    std::string cgi = g.Get().process.out;
    ASSERT_NE(cgi.find("Caption b, edited"), std::string::npos);
    EXPECT_EQ(Difference(fastCgi(""), cgi), "") << "a change in the folder";
}
