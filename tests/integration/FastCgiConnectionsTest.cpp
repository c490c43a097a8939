// The FastCGI hosting's connections: kept ones (as nginx keeps them), silent
// and half-sent ones, slow ones, and peers that are not the web server. A
// thread of the program serves requests, never an idle or slow connection;
// every way a peer can hold a connection open is bounded.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/hostings/FastCgiConnections.h"
#include "engine/hostings/FastCgiRequestArrival.h"
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
    explicit ServedGallery(int threads, int descriptorLimit = 0)
        : server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment, FastCgiServer::Start::SocketOnStandardInput,
                 {"--threads", std::to_string(threads)}, descriptorLimit) {}
    // The photo page on a connection of its own.
    FastCgiResponse PhotoPage(double timeoutSeconds = 10) {
        return FastCgiRequest(server.SocketPath(), folder.Environment(""), "", timeoutSeconds);
    }
};

using Seconds = std::chrono::duration<double>;

double Since(std::chrono::steady_clock::time_point start) {
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

// The records that begin a request and carry its parameters, asking the
// program to keep the connection.
std::string Head(const std::map<std::string, std::string>& params) {
    std::string begin(8, '\0');
    begin[1] = 1;  // the responder role
    begin[2] = 1;  // keep the connection
    return FastCgiRecord(1, begin) + FastCgiRecord(4, FastCgiPairs(params)) + FastCgiRecord(4, "");
}

// A peer that sends some bytes at once, then the rest one byte at a time,
// for as long as the program keeps its connection open (or until it has
// sent everything or was told to stop): a visitor on a slow line, or a
// stranger holding on.
class SlowPeer {
public:
    SlowPeer(const std::string& socketPath, std::string atOnce, std::string trickle, double secondsPerByte)
        : connection_(socketPath), start_(std::chrono::steady_clock::now()) {
        thread_ = std::thread([this, atOnce = std::move(atOnce), trickle = std::move(trickle), secondsPerByte] {
            if (!connection_.Send(atOnce)) return;
            for (char byte : trickle) {
                if (stop_ || connection_.ClosedByServer(secondsPerByte)) break;
                if (!connection_.Send(std::string(1, byte))) break;
            }
            if (!stop_ && connection_.ClosedByServer(0)) cutOffAfter_ = Since(start_);
            // Told to stop, or everything sent: whether the program closes
            // the connection soon after is what the test asks.
            while (!stop_ && cutOffAfter_ < 0) {
                if (connection_.ClosedByServer(0.1)) cutOffAfter_ = Since(start_);
            }
        });
    }
    ~SlowPeer() {
        stop_ = true;
        thread_.join();
    }
    // Seconds from its first byte until the program closed the connection;
    // negative while it is open.
    double CutOffAfter() const { return cutOffAfter_; }
    bool Connected() const { return connection_.Connected(); }

private:
    FastCgiKeptConnection connection_;
    std::chrono::steady_clock::time_point start_;
    std::atomic<bool> stop_{false};
    std::atomic<double> cutOffAfter_{-1};
    std::thread thread_;
};

// Waits until every peer was cut off or the time is up.
void WaitForCutOff(const std::vector<std::unique_ptr<SlowPeer>>& peers, double seconds) {
    auto start = std::chrono::steady_clock::now();
    for (const auto& peer : peers)
        while (peer->CutOffAfter() < 0 && Since(start) < seconds)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

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

// As many strangers as the program has threads, each sending a request's
// head a byte at a time (as slowly as it likes, but never stalling): they
// hold none of the threads, another visitor's page is answered at once, and
// each stranger is cut off once its head has not come whole within the
// head's time from its first byte, however steadily its bytes came.
TEST(FastCgiConnectionsTest, SlowHeadsHoldNoThreadAndEndAtTheirDeadline) {
    constexpr int Threads = 2;
    ServedGallery g(Threads);
    ASSERT_TRUE(g.server.Running()) << g.server.ErrorOutput();
    const std::string head = Head(g.folder.Environment(""));
    std::vector<std::unique_ptr<SlowPeer>> strangers;
    for (int i = 0; i < Threads; ++i)
        strangers.push_back(std::make_unique<SlowPeer>(g.server.SocketPath(), head.substr(0, 1), head.substr(1), 0.25));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto asked = std::chrono::steady_clock::now();
    FastCgiResponse r = g.PhotoPage(5);
    EXPECT_TRUE(r.ended) << "no page within 5 s while " << Threads << " strangers send their heads";
    EXPECT_EQ(r.out, g.page);
    EXPECT_LT(Since(asked), 5);
    WaitForCutOff(strangers, FastCgiHeadSeconds + 10);
    for (const auto& stranger : strangers) {
        EXPECT_GE(stranger->CutOffAfter(), FastCgiHeadSeconds - 1);
        EXPECT_LT(stranger->CutOffAfter(), FastCgiHeadSeconds + 5) << "still sending its head, never cut off";
    }
    EXPECT_TRUE(g.server.Running());
}

// Strangers whose request announces a large body and sends it a byte at a
// time, as Apache's mod_proxy_fcgi passes on a body as its client sends it:
// they hold none of the threads, and a body that does not come at the
// least rate is cut off.
TEST(FastCgiConnectionsTest, TricklingBodiesHoldNoThreadAndAreCutOff) {
    constexpr int Threads = 2;
    ServedGallery g(Threads);
    ASSERT_TRUE(g.server.Running()) << g.server.ErrorOutput();
    auto params = g.folder.Environment("", "POST");
    params["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    params["CONTENT_LENGTH"] = "100000000";
    // A body record announcing more than the trickle will ever send.
    std::string bodyRecord = FastCgiRecord(5, std::string(4000, 'a'));
    std::string atOnce = Head(params) + bodyRecord.substr(0, 8);
    std::vector<std::unique_ptr<SlowPeer>> strangers;
    for (int i = 0; i < Threads; ++i)
        strangers.push_back(std::make_unique<SlowPeer>(g.server.SocketPath(), atOnce, bodyRecord.substr(8), 0.25));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto asked = std::chrono::steady_clock::now();
    FastCgiResponse r = g.PhotoPage(5);
    EXPECT_TRUE(r.ended) << "no page within 5 s while " << Threads << " strangers trickle their bodies";
    EXPECT_EQ(r.out, g.page);
    EXPECT_LT(Since(asked), 5);
    const double allowed = FastCgiBodyGraceSeconds + 200.0 / FastCgiMinBodyBytesPerSecond;
    WaitForCutOff(strangers, allowed + 10);
    for (const auto& stranger : strangers)
        EXPECT_LT(stranger->CutOffAfter(), allowed + 5) << "still trickling its body, never cut off";
    EXPECT_TRUE(g.server.Running());
}

// The gallery keeps at most 64 KiB of a body and reads no field of it: a
// request announcing more is answered once that much has come, without
// waiting for the rest, and its connection is not kept (the rest would be
// read as the next request). A body the program does not read but that came
// whole is stepped over: the connection serves on, and nothing in those
// bytes is ever taken for a request.
TEST(FastCgiConnectionsTest, BodyNotReadWholeEndsItsConnection) {
    ServedGallery g(1);
    ASSERT_TRUE(g.server.Running()) << g.server.ErrorOutput();
    const std::string report = FastCgiRequest(g.server.SocketPath(), g.folder.Environment("S")).out;
    ASSERT_NE(report.find("REPORT"), std::string::npos);
    // A whole request hidden in a body, for the report page.
    const std::string hidden = Head(g.folder.Environment("S")) + FastCgiRecord(5, "");

    auto get = g.folder.Environment("");
    get["CONTENT_LENGTH"] = std::to_string(hidden.size());
    FastCgiKeptConnection kept(g.server.SocketPath());
    FastCgiResponse first = kept.Request(get, hidden, 10);
    EXPECT_TRUE(first.ended);
    EXPECT_EQ(first.out, g.page);
    FastCgiResponse next = kept.Request(g.folder.Environment(""), "", 10);
    EXPECT_TRUE(next.ended) << "a kept connection after an unread body that came whole";
    EXPECT_EQ(next.out, g.page);

    auto post = g.folder.Environment("", "POST");
    post["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    post["CONTENT_LENGTH"] = std::to_string(32 << 20);
    std::string sent;
    for (int i = 0; i < 3; ++i) sent += FastCgiRecord(5, std::string(40000, 'x'));
    sent += FastCgiRecord(5, hidden);
    FastCgiKeptConnection large(g.server.SocketPath());
    ASSERT_TRUE(large.Send(Head(post) + sent));
    auto asked = std::chrono::steady_clock::now();
    FastCgiResponse answer = large.Receive(5);
    EXPECT_TRUE(answer.ended) << "no answer until the rest of the body came";
    EXPECT_EQ(answer.out, g.page);
    EXPECT_LT(Since(asked), 5);
    EXPECT_TRUE(large.ClosedByServer(5)) << "a connection with body bytes unread was kept";
    FastCgiResponse smuggled = large.Receive(1);
    EXPECT_EQ(smuggled.out.find("REPORT"), std::string::npos);
    EXPECT_TRUE(g.server.Running());
}

// Hundreds of connections that send nothing, and some that sent a part of
// a request and then nothing more: a new request is answered at once.
TEST(FastCgiConnectionsTest, IdleAndPartSentConnectionsLeaveRoomForNewRequests) {
    ServedGallery g(2);
    ASSERT_TRUE(g.server.Running()) << g.server.ErrorOutput();
    std::vector<std::unique_ptr<FastCgiKeptConnection>> idle, partSent;
    for (int i = 0; i < 600; ++i) {
        idle.push_back(std::make_unique<FastCgiKeptConnection>(g.server.SocketPath()));
        ASSERT_TRUE(idle.back()->Connected()) << i;
    }
    const std::string head = Head(g.folder.Environment(""));
    for (int i = 0; i < 20; ++i) {
        partSent.push_back(std::make_unique<FastCgiKeptConnection>(g.server.SocketPath()));
        ASSERT_TRUE(partSent.back()->Send(head.substr(0, 3 + i)));
    }
    auto asked = std::chrono::steady_clock::now();
    FastCgiResponse r = g.PhotoPage(5);
    EXPECT_TRUE(r.ended) << "no page within 5 s after 600 idle and 20 part-sent connections";
    EXPECT_EQ(r.out, g.page);
    EXPECT_LT(Since(asked), 5);
    EXPECT_TRUE(g.server.Running());
}

// Out of descriptors (more connections than the process may open): the
// threads do not spin on the connections they cannot take, and once
// descriptors are free again requests are served.
TEST(FastCgiConnectionsTest, OutOfDescriptorsWaitsInsteadOfSpinning) {
    ServedGallery g(2, 32);
    ASSERT_TRUE(g.server.Running()) << g.server.ErrorOutput();
    ASSERT_EQ(g.PhotoPage().out, g.page);
    // (A sanitizer build checks an ending thread through a pipe, which it
    // cannot make with no descriptor left: the input watchdog every process
    // starts with ends within 2 s of the start.)
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    std::vector<std::unique_ptr<FastCgiKeptConnection>> silent;
    for (int i = 0; i < 60; ++i) silent.push_back(std::make_unique<FastCgiKeptConnection>(g.server.SocketPath()));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double before = g.server.CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double used = g.server.CpuSeconds() - before;
    EXPECT_LT(used, 0.3) << "processor seconds used in 3 s with no descriptor left";
    silent.clear();
    FastCgiResponse r = g.PhotoPage(10);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.out, g.page);
    EXPECT_TRUE(g.server.Running()) << g.server.ErrorOutput();
}
