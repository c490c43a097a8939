// Extra path after the script's name (PATH_INFO) never moves the gallery's
// folder, with the variables each web server sends for such a request.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/CgiHarness.h"
#include "support/Pictures.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// The gallery at the document root, and another folder under that root with
// a picture of its own.
struct Site {
    GalleryFolder g;
    Site() {
        MakeJpeg(g / "harbour.jpg", 32, 24);
        WriteFile(g / "harbour.txt", "Harbour\r\n");
        WriteFile(g / "harbour.idd", "2004\r\n");
        fs::create_directories(g / "other/deeper");
        MakeJpeg(g / "other/secret.jpg", 32, 24);
        MakeJpeg(g / "other/deeper/secret.jpg", 32, 24);
    }
    // What lighttpd and Apache (mod_cgi, mod_cgid) send for
    // /pictorama.cgi<pathInfo>: PATH_TRANSLATED is the document root + PATH_INFO.
    CgiResponse Get(const std::string& query, const std::string& pathInfo, const std::string& software,
                    const std::string& translated = "") const {
        return g.Get(query, {{"SERVER_SOFTWARE", software},
                             {"PATH_INFO", pathInfo},
                             {"PATH_TRANSLATED", translated.empty() ? g.Path() + pathInfo : translated},
                             {"REQUEST_URI", "/pictorama.cgi" + pathInfo + (query.empty() ? "" : "?" + query)}});
    }
};

}  // namespace

TEST(PathInfo, RepairThroughExtraPathRepairsTheGalleryAndNothingElse) {
    for (const char* software : {"lighttpd/1.4.69", "Apache/2.4.62 (Debian)"}) {
        Site s;
        WriteFile(s.g / "quay.jpg", ReadFile(s.g / "harbour.jpg"));
        CgiResponse r = s.Get("REPAIR", "/other", software);
        EXPECT_EQ(r.process.exitCode, 0) << software;
        EXPECT_NE(r.body.find("<br>Created " + (s.g / "quay.idd")), std::string::npos) << software << r.body;
        EXPECT_FALSE(Exists(s.g / "other/secret.idd")) << software;
        EXPECT_FALSE(Exists(s.g / "other/secret.txt")) << software;
        r = s.Get("REPAIR", "/other/deeper/", software);
        EXPECT_FALSE(Exists(s.g / "other/deeper/secret.idd")) << software;
    }
}

TEST(PathInfo, PhotoPageAndSlideshowThroughExtraPathAreTheGallerysOwn) {
    Site s;
    const std::string plain = s.g.Get("").body;
    ASSERT_NE(plain.find("t_harbour.jpg"), std::string::npos);
    for (const char* pathInfo : {"/any/thing", "/other", "/", "/other/../other"})
        EXPECT_EQ(s.Get("", pathInfo, "lighttpd/1.4.69").body, plain) << pathInfo;
    // A server that maps the extra path elsewhere (an alias): the document root is used.
    EXPECT_EQ(s.Get("", "/secret", "Apache/2.4.62 (Debian)", s.g / "other/deeper/secret").body, plain);
    // A host that sends no document root: PATH_TRANSLATED less the extra path.
    auto env = s.g.Environment("");
    env.erase("DOCUMENT_ROOT");
    env["PATH_INFO"] = "/other/deeper";
    env["PATH_TRANSLATED"] = s.g / "other/deeper";
    EXPECT_EQ(s.g.Run(env).body, plain);
    EXPECT_NE(s.Get("W", "/other", "lighttpd/1.4.69").body.find("<img src=\"t_SLIDEIMAGE.jpg\">"), std::string::npos);
    EXPECT_FALSE(Exists(s.g / "other/t_secret.jpg"));
    EXPECT_FALSE(Exists(s.g / "other/deeper/t_secret.jpg"));
}
