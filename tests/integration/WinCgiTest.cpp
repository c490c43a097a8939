// The built program started by a Win-CGI server: the request in a profile
// file, the response in the output file, byte for byte what standard CGI
// writes for the same request.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/CgiHarness.h"

using namespace testing_support;

namespace {

// The [CGI] section a Win-CGI server writes for the request the standard
// harness makes (same method, query, script, address and server software).
std::string CgiSection(const GalleryFolder& g, const std::string& method, const std::string& query,
                       const std::string& contentLength = "") {
    std::string s = "[CGI]\r\nRequest Protocol=HTTP/1.1\r\nRequest Method=" + method +
                    "\r\nExecutable Path=/pictorama.cgi\r\nQuery String=" + query +
                    "\r\nServer Software=lighttpd/1.4.69\r\nServer Name=localhost\r\nServer Port=8080\r\n"
                    "Remote Address=127.0.0.1\r\nDocument Root=" + g.Path() + "\r\n";
    if (!contentLength.empty()) s += "Content Type=application/x-www-form-urlencoded\r\nContent Length=" + contentLength + "\r\n";
    return s;
}

std::map<std::string, std::string> WinCgiEnvironment() { return {{"PATH", "/usr/bin:/bin"}, {"CGI_VERSION", "CGI/1.3a WIN"}}; }

CgiResponse RunProfile(const GalleryFolder& g, const std::string& profile) {
    WriteFile(g / "request.ini", profile);
    return g.Run(WinCgiEnvironment(), "", {g / "request.ini"});
}

}  // namespace

TEST(WinCgiHosting, PostWithContentFileWritesWhatStandardCgiWrites) {
    GalleryFolder g;
    CgiResponse standard = g.Post("a=1&b=2", "", {{"HTTP_HOST", ""}});
    auto standardTrace = g.TraceLines();
    WriteFile(g / "content.txt", "a=1&b=2");
    CgiResponse r = RunProfile(g, CgiSection(g, "POST", "", "7") + "[System]\r\nContent File=" + (g / "content.txt") +
                                      "\r\nOutput File=" + (g / "out.htm") + "\r\n");
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_EQ(r.process.out, "");  // nothing on standard output
    ASSERT_FALSE(standard.process.out.empty());
    EXPECT_EQ(ReadFile(g / "out.htm"), standard.process.out);
    EXPECT_EQ(g.TraceLines(), standardTrace);
}

TEST(WinCgiHosting, AcceptAndFormLiteralWithoutContentFileAreServed) {
    GalleryFolder g;
    CgiResponse standard = g.Get("W", {{"HTTP_HOST", ""}});
    auto standardTrace = g.TraceLines();
    CgiResponse r = RunProfile(g, CgiSection(g, "GET", "W") + "[Accept]\r\ntext/html=Yes\r\nimage/gif=No\r\n"
                                      "[Form Literal]\r\nname=A B\r\n[System]\r\nOutput File=" + (g / "out.htm") + "\r\n");
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_EQ(ReadFile(g / "out.htm"), standard.process.out);
    EXPECT_EQ(g.TraceLines(), standardTrace);
}

// A failed request (the slideshow of a folder without JPEG pictures): the
// output file holds the error page with status 500, as standard CGI writes it.
TEST(WinCgiHosting, FailedRequestWritesTheErrorPageWithStatus500) {
    GalleryFolder g;
    CgiResponse standard = g.Get("W", {{"HTTP_HOST", ""}});
    CgiResponse r = RunProfile(g, CgiSection(g, "GET", "W") + "[System]\r\nOutput File=" + (g / "out.htm") + "\r\n");
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_EQ(ReadFile(g / "out.htm"),
              "HTTP/1.0 500 Internal Server Error\r\ncontent-type: text/html\r\n\r\n"
              "<html><body>Unhandled Exception: List index out of bounds (0)</body></html>\r\n");
    EXPECT_EQ(ReadFile(g / "out.htm"), standard.process.out);
}

TEST(WinCgiHosting, LastLineWithoutCrIsNotRead) {
    GalleryFolder g;
    CgiResponse r = RunProfile(g, "[System]\r\nOutput File=" + (g / "out.htm") + "\r\n[CGI]\r\nRequest Method=GET");
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_FALSE(ReadFile(g / "out.htm").empty());
    auto trace = g.TraceLines();
    ASSERT_GE(trace.size(), 7u);
    EXPECT_EQ(trace[5], "REQUEST Method ");
}

TEST(WinCgiHosting, LongerOldOutputFileKeepsItsTailAfterTheNewResponse) {
    GalleryFolder g;
    CgiResponse standard = g.Get("", {{"HTTP_HOST", ""}});
    const std::string old(20000, 'X');
    WriteFile(g / "out.htm", old);
    RunProfile(g, CgiSection(g, "GET", "") + "[System]\r\nOutput File=" + (g / "out.htm") + "\r\n");
    const std::string& response = standard.process.out;
    ASSERT_LT(response.size(), old.size());
    EXPECT_EQ(ReadFile(g / "out.htm"), response + old.substr(response.size()));
}

TEST(WinCgiHosting, ChosenOnlyWhenCgiVersionIsEmptyOrNamesWin) {
    GalleryFolder g;
    const std::string profile = CgiSection(g, "GET", "") + "[System]\r\nOutput File=" + (g / "out.htm") + "\r\n";
    WriteFile(g / "request.ini", profile);
    for (std::string version : {"", "cgi/1.3a win", "WinCGI"}) {
        std::filesystem::remove(g / "out.htm");
        auto env = WinCgiEnvironment();
        env["CGI_VERSION"] = version;
        g.Run(env, "", {g / "request.ini"});
        EXPECT_TRUE(Exists(g / "out.htm")) << version;
    }
    std::filesystem::remove(g / "out.htm");
    auto env = WinCgiEnvironment();
    env["CGI_VERSION"] = "CGI/1.1";
    g.Run(env, "", {g / "request.ini"});
    EXPECT_FALSE(Exists(g / "out.htm"));
}
