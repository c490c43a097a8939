// The FastCGI hosting's connections: kept ones (as nginx keeps them), silent
// and half-sent ones, and peers that are not the web server. A thread of the
// program serves requests, never an idle connection; every way a peer can
// hold a connection open is bounded.
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <vector>

#include "engine/hostings/FastCgiConnections.h"
#include "support/CgiHarness.h"
#include "support/FastCgiClient.h"
#include "support/Pictures.h"

using namespace testing_support;

namespace {

const std::map<std::string, std::string> ServerEnvironment = {{"PATH", "/usr/bin:/bin"}};

// A small gallery and its photo page as the CGI program gives it.
struct Gallery {
    GalleryFolder folder;
    std::string page;
    Gallery() {
        MakeJpeg(folder / "a.jpg", 80, 60);
        WriteFile(folder / "a.txt", "Alpha\r\n");
        WriteFile(folder / "a.idd", "1\r\n");
        CgiResponse cgi = folder.Get("");
        page = cgi.process.out;
    }
};

// The gallery served by the program started as lighttpd starts it (the
// socket on its standard input), on the threads given.
struct ServedGallery : Gallery {
    TempDir elsewhere;
    FastCgiServer server;
    explicit ServedGallery(int threads)
        : server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment, FastCgiServer::Start::SocketOnStandardInput,
                 {"--threads", std::to_string(threads)}) {}
    // The photo page on a connection of its own.
    FastCgiResponse PhotoPage() { return FastCgiRequest(server.SocketPath(), folder.Environment(""), "", 10); }
};

}  // namespace

// A web server keeps more connections than the program has threads, and
// sends its requests on them in turn, with new connections between.
TEST(FastCgiConnectionsTest, KeptConnectionsHoldNoThread) {
    ServedGallery g(1);
    FastCgiServer& server = g.server;
    ASSERT_NE(g.page.find("Images Posted"), std::string::npos);
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    std::vector<std::unique_ptr<FastCgiKeptConnection>> kept;
    for (int i = 0; i < 4; ++i) kept.push_back(std::make_unique<FastCgiKeptConnection>(server.SocketPath()));
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < kept.size(); ++i) {
            FastCgiResponse r = kept[i]->Request(g.folder.Environment(""), "", 10);
            ASSERT_TRUE(r.ended) << "round " << round << ", connection " << i;
            EXPECT_EQ(r.out, g.page);
        }
        FastCgiResponse once = g.PhotoPage();
        ASSERT_TRUE(once.ended) << "round " << round;
        EXPECT_EQ(once.out, g.page);
    }
    // A connection its web server closes is closed here too; the others
    // still serve.
    kept.front().reset();
    EXPECT_EQ(kept.back()->Request(g.folder.Environment(""), "", 10).out, g.page);
    // Idle kept connections do not keep the process from stopping.
    server.Signal(SIGTERM);
    EXPECT_TRUE(server.WaitExit(5));
    EXPECT_EQ(server.ExitCode(), 0);
}

// A peer that sends the start of a record and then nothing holds the
// thread reading it (for at most the stall time), not the others, and not
// the taking of new connections.
TEST(FastCgiConnectionsTest, HalfSentRequestHoldsOnlyItsOwnThread) {
    ServedGallery g(2);
    ASSERT_TRUE(g.server.Running()) << g.server.ErrorOutput();
    FastCgiKeptConnection stalled(g.server.SocketPath());
    ASSERT_TRUE(stalled.Send(std::string("\1\1\0", 3)));
    for (int i = 0; i < 4; ++i) {
        FastCgiResponse r = g.PhotoPage();
        ASSERT_TRUE(r.ended) << i;
        EXPECT_EQ(r.out, g.page);
    }
}

// Connections that never send a byte: past the number that may wait, the
// ones that waited longest are closed; the rest are closed once their time
// for a first request is up. Requests are served meanwhile.
TEST(FastCgiConnectionsTest, SilentConnectionsAreBounded) {
    ServedGallery g(1);
    FastCgiServer& server = g.server;
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    std::vector<std::unique_ptr<FastCgiKeptConnection>> silent;
    for (size_t i = 0; i < MaxWaitingFastCgiConnections + 20; ++i) {
        silent.push_back(std::make_unique<FastCgiKeptConnection>(server.SocketPath()));
        ASSERT_TRUE(silent.back()->Connected()) << i;
    }
    FastCgiResponse r = g.PhotoPage();
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, g.page);
    EXPECT_TRUE(silent.front()->ClosedByServer(5));
    EXPECT_TRUE(silent[19]->ClosedByServer(1));
    EXPECT_FALSE(silent.back()->ClosedByServer(0.2));
    EXPECT_TRUE(silent.back()->ClosedByServer(FastCgiFirstBytesSeconds + 5));
    EXPECT_TRUE(server.Running());
}

// On a TCP port, FCGI_WEB_SERVER_ADDRS names the peers that may send
// requests; a connection from any other address is closed unanswered.
TEST(FastCgiConnectionsTest, OnlyListedWebServersAreServed) {
    Gallery g;
    TempDir elsewhere;
    auto env = ServerEnvironment;
    env["FCGI_WEB_SERVER_ADDRS"] = "10.1.2.3";
    {
        FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), env, FastCgiServer::Start::LoopbackPort);
        ASSERT_TRUE(server.Running()) << server.ErrorOutput();
        FastCgiKeptConnection refused(server.SocketPath());
        FastCgiResponse r = refused.Request(g.folder.Environment(""), "", 5);
        EXPECT_FALSE(r.ended);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(refused.ClosedByServer(5));
    }
    env["FCGI_WEB_SERVER_ADDRS"] = "10.1.2.3, 127.0.0.1";
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), env, FastCgiServer::Start::LoopbackPort);
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    FastCgiResponse r = FastCgiRequest(server.SocketPath(), g.folder.Environment(""), "", 10);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.out, g.page);
}
