// The CGI server mode with real processes: a server instance started by hand
// in a gallery folder, and CGI processes started the way a web server starts
// them, which hand their requests to it.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <future>
#include <set>

#include "support/CgiHarness.h"
#include "support/Pictures.h"
#include "support/ServerHarness.h"
#include "platform/PresenceLock.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void AddPictures(const GalleryFolder& g) {
    MakeJpeg(g / "harbour.jpg", 160, 120);
    MakeJpeg(g / "IMG_0002.JPG", 120, 160);
    MakeJpeg(g / "dunes.jpg", 200, 100);
    WriteFile(g / "harbour.txt", "The harbour at dawn\r\n");
    WriteFile(g / "harbour.idd", "2004-07\r\n");
    WriteFile(g / "IMG_0002.idd", "2004-08\r\n");
    WriteFile(g / "dunes.idd", "2003-01\r\n");
}

// The files of the gallery (folders temp/ and log/ and the trace aside), so
// that what one request made can be taken away before the next run.
std::set<std::string> Snapshot(const GalleryFolder& g) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(g.Path())) names.insert(e.path().filename().string());
    return names;
}

void RemoveNewFiles(const GalleryFolder& g, const std::set<std::string>& before) {
    for (const auto& e : fs::directory_iterator(g.Path())) {
        std::string name = e.path().filename().string();
        if (!before.count(name) && name != "temp" && name != "log") fs::remove_all(e.path());
    }
}

struct Request {
    std::string method, query, body;
};

CgiResponse Send(const GalleryFolder& g, const Request& r) {
    return r.method == "POST" ? g.Post(r.body, r.query) : g.Get(r.query);
}

std::map<std::string, std::string> HandStartEnvironment() { return {{"PATH", "/usr/bin:/bin"}}; }

}  // namespace

TEST(ServerModeAnswers, EveryPageIsByteForByteWhatDirectCgiGives) {
    GalleryFolder g;
    AddPictures(g);
    const std::set<std::string> pristine = Snapshot(g);
    // The POST first: a fresh process has no URL folder from an earlier GET.
    const std::vector<Request> requests = {
        {"POST", "", "a=1&b=2"}, {"GET", "", ""}, {"GET", "S", ""}, {"GET", "W", ""}, {"GET", "x=1&y=%41", ""}};

    std::vector<CgiResponse> direct;
    std::vector<std::vector<std::string>> directTraces;
    for (const auto& r : requests) {
        direct.push_back(Send(g, r));
        directTraces.push_back(g.TraceLines());
        RemoveNewFiles(g, pristine);
    }

    auto server = StartServerInstance(g);
    RenameCounter answered(g / "temp", "_rsp");
    for (size_t i = 0; i < requests.size(); ++i) {
        CgiResponse viaServer = Send(g, requests[i]);
        EXPECT_EQ(viaServer.process.exitCode, 0) << i;
        EXPECT_EQ(viaServer.process.out, direct[i].process.out) << requests[i].method << " " << requests[i].query;
        EXPECT_GT(viaServer.body.size(), 200u) << requests[i].method << " " << requests[i].query;
        EXPECT_EQ(g.TraceLines(), directTraces[i]) << i;
        RemoveNewFiles(g, pristine);
        EXPECT_TRUE(server->Running());
    }
    // Every answer was written by the one server instance, and the clients
    // left nothing behind but the server's own files.
    EXPECT_EQ(answered.Count(), static_cast<int>(requests.size()));
    auto left = ExchangeFileNames(g);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"pictorama.cgi_S.lock", "pictorama.cgi_s"}));
}

// A request that fails in the server instance (the slideshow of a folder
// without JPEG pictures) reaches the client as the direct CGI process would
// answer it, byte for byte: the error page with status 500, in the form the
// forwarded server name wants.
TEST(ServerModeAnswers, FailedRequestIsForwardedWithItsStatus500) {
    GalleryFolder g;
    const std::map<std::string, std::string> apache = {{"SERVER_SOFTWARE", "Apache/2.4.57 (Debian)"}};
    CgiResponse direct = g.Get("W"), directApache = g.Get("W", apache);
    ASSERT_TRUE(direct.process.out.starts_with("HTTP/1.0 500 Internal Server Error\r\n")) << direct.process.out;
    ASSERT_TRUE(directApache.process.out.starts_with("Status: 500 Internal Server Error\r\n"))
        << directApache.process.out;
    auto server = StartServerInstance(g);
    RenameCounter answered(g / "temp", "_rsp");
    EXPECT_EQ(g.Get("W").process.out, direct.process.out);
    EXPECT_EQ(g.Get("W", apache).process.out, directApache.process.out);
    EXPECT_EQ(answered.Count(), 2);
    EXPECT_TRUE(server->Running());
}

TEST(ServerModeAnswers, TheServerRunsTheRequestNotTheClient) {
    GalleryFolder g;
    CgiResponse direct = g.Get("abc");
    auto server = StartServerInstance(g);
    fs::remove(g / "pictorama.tst");
    server->Signal(SIGSTOP);
    auto client = std::async(std::launch::async, [&] { return g.Get("abc"); });
    ASSERT_TRUE(WaitUntil([&] { return QueuedRequests(g).size() == 1; }));
    // While the server sleeps the request waits in the queue, unserved.
    EXPECT_EQ(client.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_FALSE(Exists(g / "pictorama.tst"));
    server->Signal(SIGCONT);
    CgiResponse r = client.get();
    EXPECT_EQ(r.process.out, direct.process.out);
    EXPECT_EQ(g.TraceLines().at(0), "Query_string abc");
}

TEST(ServerModeAnswers, WinCgiRequestIsHandedToTheServerToo) {
    GalleryFolder g;
    WriteFile(g / "body", "a=1&b=2");
    const std::string profile = "[CGI]\r\nRequest Method=POST\r\nContent Length=7\r\nExecutable Path=/pictorama.cgi\r\n"
                                "Server Software=lighttpd/1.4.69\r\nRemote Address=10.0.0.9\r\n[System]\r\n"
                                "Content File=" + (g / "body") + "\r\nOutput File=" + (g / "out.htm") + "\r\n";
    WriteFile(g / "request.ini", profile);
    CgiResponse direct = g.Run({{"PATH", "/usr/bin:/bin"}}, "", {g / "request.ini"});
    std::string directOutput = ReadFile(g / "out.htm");
    auto directTrace = g.TraceLines();
    fs::remove(g / "out.htm");
    ASSERT_FALSE(directOutput.empty());

    auto server = StartServerInstance(g);
    RenameCounter answered(g / "temp", "_rsp");
    CgiResponse r = g.Run({{"PATH", "/usr/bin:/bin"}}, "", {g / "request.ini"});
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_EQ(ReadFile(g / "out.htm"), directOutput);
    EXPECT_EQ(g.TraceLines(), directTrace);
    EXPECT_EQ(answered.Count(), 1);
}

TEST(ServerModeAnswers, SecondCopyStartedByHandForwardsItsOwnRequest) {
    GalleryFolder g;
    auto server = StartServerInstance(g);
    RenameCounter answered(g / "temp", "_rsp");
    CgiResponse r = g.Run(HandStartEnvironment());
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_EQ(r.head.rfind("HTTP/1.0 200 OK\r\ncontent-type: text/html\r\n", 0), 0u) << r.process.out;
    EXPECT_EQ(answered.Count(), 1);
    EXPECT_TRUE(server->Running());
    EXPECT_EQ(g.TraceLines().at(5), "REQUEST Method ");
}

TEST(ServerModeLiveness, StaleMarkerIsIgnoredAndTheClientServesItself) {
    GalleryFolder g;
    CgiResponse fresh = g.Get("q");
    fs::create_directory(g / "temp");
    WriteFile(MarkerFile(g), "");
    fs::last_write_time(MarkerFile(g), fs::file_time_type::clock::now() - std::chrono::seconds(31));
    fs::remove(g / "pictorama.tst");
    CgiResponse r = g.Get("q");
    EXPECT_EQ(r.process.out, fresh.process.out);
    ASSERT_GE(g.TraceLines().size(), 7u);
    EXPECT_EQ(g.TraceLines()[0], "Query_string q");
    EXPECT_EQ(ExchangeFileNames(g), std::vector<std::string>{"pictorama.cgi_s"});
}

TEST(ServerModeStopping, DeletingTheMarkerStopsTheServerWithinFiveSeconds) {
    GalleryFolder g;
    auto server = StartServerInstance(g);
    fs::remove(MarkerFile(g));
    ASSERT_TRUE(server->WaitExit(5.0));
    EXPECT_EQ(server->ExitCode(), 0);
    EXPECT_TRUE(ExchangeFileNames(g).empty());
}

TEST(ServerModeStopping, TerminateInterruptAndHangUpStopItAndCleanTheExchangeFolder) {
    GalleryFolder g;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        auto server = StartServerInstance(g);
        WriteFile(ExchangePrefix(g) + "1-2-3-4_0ABCD_cnf", "A=1\r\n");
        server->Signal(sig);
        ASSERT_TRUE(server->WaitExit(5.0)) << sig;
        EXPECT_EQ(server->ExitCode(), 0) << sig;
        EXPECT_TRUE(ExchangeFileNames(g).empty()) << sig;
        // The folder is clean for the next one: plain requests are served directly.
        EXPECT_EQ(g.Get().process.exitCode, 0);
    }
}

TEST(ServerModeLimits, TenExchangeFilesBesidesTheMarkerRefuseTheNextClient) {
    GalleryFolder g;
    auto server = StartServerInstance(g);
    CgiResponse expected = g.Get("z");
    for (int i = 0; i < 9; ++i) WriteFile(ExchangePrefix(g) + "9-9-9-9_0000" + std::to_string(i) + "_cnf", "");
    // Nine others: still served.
    EXPECT_EQ(g.Get("z").process.out, expected.process.out);
    WriteFile(ExchangePrefix(g) + "9-9-9-9_00009_cnf", "");
    CgiResponse refused = g.Get("z");
    EXPECT_EQ(refused.process.exitCode, 0);
    EXPECT_EQ(refused.process.out, "");
    std::string log = ReadFile(g / "log/pictorama.Log");
    EXPECT_NE(log.find(" : Server mode - Too many clients\r\n"), std::string::npos) << log;
    EXPECT_TRUE(server->Running());
}

TEST(ServerModeFailures, KilledServerMakesTheWaitingClientGiveUpAndCleanUp) {
    GalleryFolder g;
    auto server = StartServerInstance(g);
    server->Signal(SIGSTOP);
    auto client = std::async(std::launch::async, [&] {
        return RunProgram(g.Program(), {}, g.Environment("k"), "", 0, /*timeoutSeconds=*/60);
    });
    ASSERT_TRUE(WaitUntil([&] { return QueuedRequests(g).size() == 1; }));
    server->Signal(SIGKILL);
    server->WaitExit(5);
    ProcessResult r = client.get();
    // The presence lock went with the server: the client stops long before
    // its 180-second limit, answers nothing and clears the exchange folder.
    EXPECT_EQ(r.signal, 0) << "the client was still waiting after 60 s";
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(ExchangeFileNames(g).empty());
}

TEST(ServerModeFailures, RequestFileWithoutItsEmptyLineGetsNoAnswerAndDoesNotStopTheServer) {
    GalleryFolder g;
    auto server = StartServerInstance(g);
    const std::string base = ExchangePrefix(g) + "5-5-5-5_0BEEF_";
    WriteFile(base + "new", "REQUEST_METHOD=GET\r\nQUERY_STRING=x\r\n");
    fs::rename(base + "new", base + "REQ");
    ASSERT_TRUE(WaitUntil([&] { return Exists(base + "cnf"); }));
    CgiResponse after = g.Get("after");
    EXPECT_EQ(after.head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(server->Running());
    EXPECT_TRUE(Exists(base + "cnf"));
    EXPECT_FALSE(Exists(base + "ind"));
    EXPECT_FALSE(Exists(base + "rsp"));
}

TEST(ServerModeForging, VariablesWithLineBreaksAreServedDirectlyAndForgeNothing) {
    GalleryFolder g;
    TempDir outside;
    fs::create_directory(outside / "photos");
    MakeJpeg(outside / "photos/evil.jpg", 40, 30);
    const std::string forged = "PATH_TRANSLATED=" + outside.Path() + "\nSCRIPT_NAME=/photos/pictorama.cgi";
    const std::vector<std::map<std::string, std::string>> hostile = {
        {{"PATH_INFO", "/x\n" + forged}, {"QUERY_STRING", "REPAIR"}},
        {{"PATH_INFO", "/x\r\n\r\n" + forged}, {"QUERY_STRING", "REPAIR"}},
        {{"QUERY_STRING", "REPAIR\r\n" + forged}},
        {{"QUERY_STRING", "REPAIR\r\n\r\n" + forged}},
        {{"AUTH_TYPE", "x\r" + forged}, {"QUERY_STRING", "REPAIR"}},
        {{"HTTP_X_A", "1"}, {"http_x-a", "2"}},
    };
    std::vector<std::string> expected;
    for (const auto& extra : hostile) expected.push_back(g.Get("", extra).process.out);
    auto server = StartServerInstance(g);
    RenameCounter answered(g / "temp", "_rsp");
    for (size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(g.Get("", hostile[i]).process.out, expected[i]) << i;
        EXPECT_EQ(answered.Count(), 0) << i;
    }
    EXPECT_FALSE(Exists(outside / "photos/evil.idd"));
    EXPECT_FALSE(Exists(outside / "photos/evil.txt"));
    EXPECT_TRUE(server->Running());
    // An ordinary request still goes through the instance.
    g.Get("plain");
    EXPECT_EQ(answered.Count(), 1);
}

TEST(ServerModeForging, RequestFileWithARepeatedNameIsRefusedAndLogged) {
    GalleryFolder g;
    auto server = StartServerInstance(g);
    const std::string base = ExchangePrefix(g) + "5-5-5-5_0FACE_";
    WriteFile(base + "new", "REQUEST_METHOD=GET\r\nquery_string=REPAIR\r\nQUERY_STRING=S\r\n\r\n");
    fs::rename(base + "new", base + "REQ");
    ASSERT_TRUE(WaitUntil([&] { return Exists(base + "cnf"); }));
    EXPECT_EQ(g.Get("after").head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(server->Running());
    EXPECT_TRUE(Exists(base + "cnf"));
    EXPECT_FALSE(Exists(base + "rsp"));
    EXPECT_FALSE(Exists(g / "pictorama.tst") && ReadFile(g / "pictorama.tst").find("Query_string REPAIR") != std::string::npos);
    std::string log = ReadFile(g / "log/pictorama.Log");
    EXPECT_NE(log.find(" : Server loop: Request file refused (variable named twice)\r\n"), std::string::npos) << log;
}

TEST(ServerModeNames, TwoClientsFromOneAddressGetDifferentBaseNames) {
    GalleryFolder g;
    CgiResponse expected = g.Get("same");
    auto server = StartServerInstance(g);
    server->Signal(SIGSTOP);
    auto first = std::async(std::launch::async, [&] { return g.Get("same"); });
    auto second = std::async(std::launch::async, [&] { return g.Get("same"); });
    ASSERT_TRUE(WaitUntil([&] { return QueuedRequests(g).size() == 2; }));
    auto queued = QueuedRequests(g);
    EXPECT_NE(queued[0], queued[1]);
    for (const auto& name : queued) EXPECT_EQ(name.rfind("pictorama.cgi_127-0-0-1_", 0), 0u) << name;
    server->Signal(SIGCONT);
    EXPECT_EQ(first.get().process.out, expected.process.out);
    EXPECT_EQ(second.get().process.out, expected.process.out);
}

TEST(ServerModeNames, HostileAddressStaysInsideTheExchangeFolder) {
    GalleryFolder g;
    CgiResponse expected = g.Get("a", {{"REMOTE_ADDR", "../../x y"}});
    auto server = StartServerInstance(g);
    server->Signal(SIGSTOP);
    auto client = std::async(std::launch::async, [&] { return g.Get("a", {{"REMOTE_ADDR", "../../x y"}}); });
    ASSERT_TRUE(WaitUntil([&] { return QueuedRequests(g).size() == 1; }));
    EXPECT_EQ(QueuedRequests(g)[0].rfind("pictorama.cgi_--_--_x_y_", 0), 0u) << QueuedRequests(g)[0];
    server->Signal(SIGCONT);
    EXPECT_EQ(client.get().process.out, expected.process.out);
}

TEST(ServerModeLaunch, WebServerRequestWithStartWordsIsNeverALaunch) {
    // Apache passes the words of ?$$START_SERVER+X as two arguments.
    GalleryFolder g;
    fs::create_directory(g / "temp");
    WriteFile(ExchangePrefix(g) + "keep", "x");
    WriteFile(g.Program() + "_keep", "x");
    auto env = g.Environment("$$START_SERVER+X");
    CgiResponse plain = g.Run(env);
    for (bool withSoftware : {true, false}) {
        auto e = env;
        if (!withSoftware) e.erase("SERVER_SOFTWARE");
        CgiResponse r = g.Run(e, "", {"$$START_SERVER", "X"});
        EXPECT_EQ(r.process.exitCode, 0);
        EXPECT_EQ(r.process.out, plain.process.out);
        EXPECT_LT(r.process.seconds, 30.0) << "served as a server";
    }
    EXPECT_TRUE(Exists(ExchangePrefix(g) + "keep"));
    EXPECT_TRUE(Exists(g.Program() + "_keep"));
    EXPECT_FALSE(Exists(MarkerFile(g)));
}

TEST(ServerModeLaunch, SecondInstanceMeetingAHeldPresenceLockTouchesNothingAndEnds) {
    // Two instances starting together: the first holds its presence lock and
    // has not made its marker yet; a client's request already waits.
    GalleryFolder g;
    fs::create_directory(g / "temp");
    platform::PresenceLock first;
    ASSERT_TRUE(first.Acquire(g / ("temp/" + g.ProgramName() + "_S.lock")));
    const std::string queued = ExchangePrefix(g) + "7-7-7-7_0CAFE_REQ";
    WriteFile(queued, "REQUEST_METHOD=GET\r\nQUERY_STRING=q\r\n\r\n");
    BackgroundProgram second(g.Program(), {}, HandStartEnvironment());
    ASSERT_TRUE(second.WaitExit(10));
    EXPECT_EQ(second.ExitCode(), 0);
    EXPECT_EQ(ReadFile(queued), "REQUEST_METHOD=GET\r\nQUERY_STRING=q\r\n\r\n");
    EXPECT_FALSE(Exists(MarkerFile(g)));
    std::string log = ReadFile(g / "log/pictorama.Log");
    EXPECT_NE(log.find(" : Server loop: Server mode - A server instance is already running\r\n"), std::string::npos)
        << log;
}

TEST(ServerModeLaunch, InstanceStartedWithTheStartWordsServes) {
    // What an engine with a server mode set starts: the program with
    // "$$START_SERVER X" and an environment that is no CGI request.
    GalleryFolder g;
    CgiResponse expected = g.Get("s");
    BackgroundProgram server(g.Program(), {"$$START_SERVER", "X"},
                             {{"PATH", "/usr/bin:/bin"}, {"SERVER_SOFTWARE", "lighttpd/1.4.69"}});
    ASSERT_TRUE(WaitUntil([&] { return Exists(MarkerFile(g)); }));
    RenameCounter answered(g / "temp", "_rsp");
    EXPECT_EQ(g.Get("s").process.out, expected.process.out);
    EXPECT_EQ(answered.Count(), 1);
    server.Signal(SIGTERM);
    EXPECT_TRUE(server.WaitExit(5));
}

TEST(ServerModeLiveness, FreshMarkerOfAKilledServerIsIgnored) {
    GalleryFolder g;
    CgiResponse fresh = g.Get("q");
    auto server = StartServerInstance(g);
    server->Signal(SIGKILL);
    ASSERT_TRUE(server->WaitExit(5));
    ASSERT_TRUE(Exists(MarkerFile(g)));  // younger than 30 s, but nobody answers for it
    CgiResponse r = g.Get("q");
    EXPECT_EQ(r.process.out, fresh.process.out);
    EXPECT_LT(r.process.seconds, 30.0) << "waited for the dead server";
    EXPECT_TRUE(QueuedRequests(g).empty());
}
