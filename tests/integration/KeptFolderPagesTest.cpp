// What a resident FastCGI process keeps of a gallery's folder serves only
// while it is the folder on disk: a publish by symbolic link switch, a folder
// swapped for another, a change made behind a shared (FUSE) mount and the
// gallery's own slideshow files each leave the next page the one CGI makes.
#include <gtest/gtest.h>

#include <sys/vfs.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include "app/KeptFolders.h"
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

const char* const Bindfs = "/usr/bin/bindfs";
const char* const Fusermount = "/usr/bin/fusermount";
constexpr long FuseMagic = 0x65735546;

// A folder shared from elsewhere: source mounted at target through FUSE
// (bindfs), which stands for another machine's share: what is changed in
// source directly is never reported on target, as a change made on another
// machine is not. Unmounted at the end.
class SharedMount {
public:
    SharedMount(const std::string& source, const std::string& target) : target_(target) {
        std::filesystem::create_directories(target);
        ProcessResult r = RunProgram(Bindfs, {source, target}, {{"PATH", "/usr/bin:/bin"}});
        mounted_ = r.exitCode == 0 && IsFuse();
        error_ = r.err;
    }
    ~SharedMount() {
        for (int attempt = 0; mounted_ && attempt < 50; ++attempt) {
            if (RunProgram(Fusermount, {"-u", target_}, {{"PATH", "/usr/bin:/bin"}}).exitCode == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // still busy
        }
    }
    SharedMount(const SharedMount&) = delete;
    SharedMount& operator=(const SharedMount&) = delete;
    bool Mounted() const { return mounted_; }
    const std::string& Error() const { return error_; }

private:
    bool IsFuse() const {
        struct statfs fs {};
        return statfs(target_.c_str(), &fs) == 0 && fs.f_type == FuseMagic;
    }
    std::string target_;
    bool mounted_ = false;
    std::string error_;
};

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

// A gallery on a shared mount (FUSE, standing for NFS or SMB): changes made
// behind it are reported to no one, yet each shows in the next page, the
// page CGI makes through the same mount; so do changes to files whose
// content was kept, once their stamps had settled.
TEST(KeptFolderPages, ChangesBehindASharedMountShowInTheNextPage) {
    REQUIRE_TOOL(Exists(Bindfs) && Exists(Fusermount) && Exists("/dev/fuse"), "bindfs, fusermount and /dev/fuse");
    Site site;
    const std::string shared = site.root / "shared";
    MakeRelease(shared, "Shared", 3);
    SharedMount mount(shared, site.Gallery());
    ASSERT_TRUE(mount.Mounted()) << mount.Error();
    ASSERT_EQ(RunProgram(site.Gallery() + "/pictorama.cgi", {}, site.Variables()).exitCode, 0);  // the thumbnails
    // Files whose stamps have settled are what a resident process keeps.
    std::this_thread::sleep_for(std::chrono::duration<double>(kept_folders::SettledStampSeconds + 0.5));
    TempDir elsewhere;
    auto server = StartServer(elsewhere);
    std::string page = site.FastCgi(*server);
    ASSERT_EQ(Difference(page, site.Cgi()), "");
    ASSERT_EQ(Difference(site.FastCgi(*server), page), "");
    const std::vector<std::tuple<std::string, std::function<void()>, std::string>> changes = {
        {"caption written in place, same length", [&] { WriteFile(shared + "/p1.txt", "Shared X\r\n"); },
         "Shared X"},
        {"caption written in place, its size and time kept", [&] {
             auto time = std::filesystem::last_write_time(shared + "/p0.txt");
             WriteFile(shared + "/p0.txt", "Shared Y\r\n");
             std::filesystem::last_write_time(shared + "/p0.txt", time);
         },
         "Shared Y"},
        {"picture added", [&] {
             MakeJpeg(shared + "/p7.jpg", 47, 30);
             WriteFile(shared + "/p7.txt", "Seventh\r\n");
             WriteFile(shared + "/p7.idd", "7\r\n");
         },
         "Seventh"},
        {"listing line changed", [&] { WriteFile(shared + "/p0.idd", "9\r\n"); }, "\r\n9\r\n"},
        {"listing file removed", [&] { std::filesystem::remove(shared + "/p2.idd"); }, "3 Images Posted"},
        {"title added", [&] { WriteFile(shared + "/pagetitle.txt", "Shared pictures\r\n"); }, "Shared pictures"},
        {"thumbnail replaced", [&] { MakeJpeg(shared + "/t_p1.jpg", 33, 22); }, "width=33 height=22"},
    };
    for (const auto& [what, change, shows] : changes) {
        change();
        std::string next = site.FastCgi(*server);
        EXPECT_NE(next.find(shows), std::string::npos) << what;
        EXPECT_EQ(Difference(next, site.Cgi()), "") << what;
        EXPECT_EQ(Difference(site.FastCgi(*server), next), "") << what << ", asked again";
    }
    server.reset();  // nothing left open on the mount
}
