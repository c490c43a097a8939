// The server mode under real web servers: lighttpd runs the program as CGI
// for twenty requests at once, and one server instance answers them all;
// under Apache (which passes line breaks decoded into PATH_INFO), requests
// whose variables hold line breaks are answered without it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <future>
#include <latch>
#include <regex>

#include "support/CgiHarness.h"
#include "support/Pictures.h"
#include "support/RequiredTools.h"
#include "support/ServerHarness.h"

using namespace testing_support;

namespace {

const char* const Lighttpd = "/usr/sbin/lighttpd";
const char* const Apache = "/usr/sbin/apache2";

int FreeLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(s);
        return -1;
    }
    close(s);
    return ntohs(a.sin_port);
}

int Connect(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

struct HttpReply {
    std::string status, head, body;
};

HttpReply HttpGet(int port, const std::string& target) {
    HttpReply reply;
    int s = Connect(port);
    if (s < 0) return reply;
    std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (write(s, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(s);
        return reply;
    }
    std::string all;
    char buffer[8192];
    for (ssize_t n; (n = read(s, buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<size_t>(n));
    close(s);
    size_t end = all.find("\r\n\r\n");
    reply.status = all.substr(0, all.find("\r\n"));
    reply.head = all.substr(0, end);
    if (end != std::string::npos) reply.body = all.substr(end + 4);
    return reply;
}

// A web server on a free loopback port, configured by the test in a folder
// of its own, started in the foreground and ready once its port answers.
class LoopbackServer {
public:
    LoopbackServer() : port_(FreeLoopbackPort()) {}
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    bool Ready() const { return ready_; }
    int Port() const { return port_; }
    std::string ErrorLog() const { return ReadFile(conf_ / "error.log"); }

protected:
    void Start(const std::string& program, std::vector<std::string> arguments) {
        process_ = std::make_unique<BackgroundProgram>(program, std::move(arguments),
                                                       std::map<std::string, std::string>{{"PATH", "/usr/bin:/bin"}},
                                                       conf_.Path());
        ready_ = WaitUntil([&] {
            int s = Connect(port_);
            if (s >= 0) close(s);
            return s >= 0;
        });
    }

    TempDir conf_;
    int port_ = 0;
    bool ready_ = false;
    std::unique_ptr<BackgroundProgram> process_;
};

// A shipped config (deploy/...) or the end-to-end tests' wrapper around one
// (tests/e2e/harness/...), read from the source tree with each @NAME@
// replaced by its value; a placeholder left without one fails the test.
std::string FilledConfig(const std::string& relative, const std::map<std::string, std::string>& values) {
    const std::string text = ReadFile(std::string(PICTORAMA_SOURCE_DIR) + "/" + relative);
    static const std::regex placeholder("@([A-Z][A-Z0-9_]*)@");
    std::string filled;
    size_t done = 0;
    for (auto m = std::sregex_iterator(text.begin(), text.end(), placeholder); m != std::sregex_iterator(); ++m) {
        auto value = values.find((*m)[1]);
        if (value == values.end()) {
            ADD_FAILURE() << relative << ": no value for " << m->str();
            continue;
        }
        filled += text.substr(done, static_cast<size_t>(m->position()) - done) + value->second;
        done = static_cast<size_t>(m->position() + m->length());
    }
    return filled + text.substr(done);
}

// The account a server run as root hands its workers: Apache's own default
// when we are root, else ourselves (a server not started as root keeps its
// account whatever its config says).
std::string ApacheAccount() {
    if (geteuid() == 0) return "#-1";
    const passwd* entry = getpwuid(geteuid());
    return entry ? entry->pw_name : "#-1";
}

// lighttpd serving the gallery folder as its document root, with the shipped
// CGI config (deploy/lighttpd-cgi.conf) in the end-to-end tests' wrapper.
class WebServer : public LoopbackServer {
public:
    explicit WebServer(const GalleryFolder& g) {
        WriteFile(conf_ / "pictorama.conf", FilledConfig("deploy/lighttpd-cgi.conf",
                                                         {{"DOCUMENT_ROOT", g.Path()}, {"OWNER_ADDRESS", "127.0.0.1"}}));
        // No account to change to: lighttpd stays the test's.
        WriteFile(conf_ / "lighttpd.conf",
                  FilledConfig("tests/e2e/harness/lighttpd.conf", {{"WORK", conf_.Path()},
                                                                   {"PORT", std::to_string(port_)},
                                                                   {"USER", ""},
                                                                   {"DEPLOY", conf_ / "pictorama.conf"}}));
        Start(Lighttpd, {"-D", "-f", conf_ / "lighttpd.conf"});
    }
};

// Apache (event MPM, mod_cgid) serving the gallery folder as its document
// root, with the shipped config (deploy/apache-event-cgid.conf) in the
// end-to-end tests' wrapper; stopped gracefully so that its children go too
// (the prefork MPM would signal the whole process group, this test included).
class ApacheServer : public LoopbackServer {
public:
    explicit ApacheServer(const GalleryFolder& g) {
        WriteFile(conf_ / "pictorama.conf", FilledConfig("deploy/apache-event-cgid.conf",
                                                         {{"DOCUMENT_ROOT", g.Path()}, {"OWNER_ADDRESS", "127.0.0.1"}}));
        WriteFile(conf_ / "httpd.conf",
                  FilledConfig("tests/e2e/harness/apache.conf", {{"WORK", conf_.Path()},
                                                                 {"PORT", std::to_string(port_)},
                                                                 {"USER", ApacheAccount()},
                                                                 {"DEPLOY", conf_ / "pictorama.conf"}}));
        Start(Apache, {"-f", conf_ / "httpd.conf", "-DFOREGROUND"});
    }
    ~ApacheServer() {
        process_->Signal(SIGTERM);
        process_->WaitExit(10);
    }
};

}  // namespace

TEST(ServerModeUnderLighttpd, TwentyConcurrentRequestsAreAllAnsweredThroughOneServerInstance) {
    REQUIRE_TOOL(std::filesystem::exists(Lighttpd), std::string("lighttpd (") + Lighttpd + ")");
    GalleryFolder g;
    for (int i = 1; i <= 6; ++i) {
        std::string base = g / ("picture" + std::to_string(i));
        MakeJpeg(base + ".jpg", 120 + 10 * i, 90);
        WriteFile(base + ".idd", "2024-0" + std::to_string(i) + "\r\n");
    }
    WebServer web(g);
    ASSERT_TRUE(web.Ready()) << web.ErrorLog();

    // The answer of an ordinary CGI run through the same web server.
    HttpReply reference = HttpGet(web.Port(), "/pictorama.cgi?n=0");
    ASSERT_EQ(reference.status, "HTTP/1.0 200 OK") << reference.head << web.ErrorLog();
    ASSERT_NE(reference.body.find("picture6.jpg"), std::string::npos) << reference.body;

    auto server = StartServerInstance(g);
    RenameCounter answered(g / "temp", "_rsp");
    constexpr int Requests = 20;
    std::latch start(Requests);
    std::vector<std::future<HttpReply>> replies;
    for (int i = 1; i <= Requests; ++i) {
        replies.push_back(std::async(std::launch::async, [&, i] {
            start.arrive_and_wait();
            return HttpGet(web.Port(), "/pictorama.cgi?n=" + std::to_string(i));
        }));
    }
    for (int i = 0; i < Requests; ++i) {
        HttpReply r = replies[static_cast<size_t>(i)].get();
        EXPECT_EQ(r.status, "HTTP/1.0 200 OK") << i << "\n" << r.head;
        std::string head = r.head;
        for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_NE(head.find("\r\ncontent-type: text/html\r\n"), std::string::npos) << r.head;
        EXPECT_EQ(r.body, reference.body) << i;
    }
    EXPECT_EQ(answered.Count(), Requests);
    EXPECT_TRUE(server->Running());
    EXPECT_EQ(ReadFile(g / "log/pictorama.Log"), "");
}

TEST(ServerModeUnderApache, LineBreaksInThePathOrTheQueryForgeNoVariablesOfTheServerInstance) {
    REQUIRE_TOOL(std::filesystem::exists(Apache), std::string("Apache (") + Apache + ")");
    // The pictures of another folder, which a forged PATH_TRANSLATED and
    // SCRIPT_NAME would make the gallery's: ?REPAIR would write beside them.
    TempDir outside;
    std::filesystem::create_directory(outside / "photos");
    MakeJpeg(outside / "photos/evil.jpg", 40, 30);
    GalleryFolder g;
    // The program runs under the web server's account.
    std::filesystem::permissions(outside.Path(), std::filesystem::perms::all);
    std::filesystem::permissions(outside / "photos", std::filesystem::perms::all);
    ApacheServer web(g);
    ASSERT_TRUE(web.Ready()) << web.ErrorLog();

    const std::string forged = "PATH_TRANSLATED=" + outside.Path() + "%0ASCRIPT_NAME=/photos/pictorama.cgi";
    const std::vector<std::string> inPath = {
        "/pictorama.cgi/x%0A" + forged + "?REPAIR",
        "/pictorama.cgi/x%0D%0A" + forged + "%0D%0A%0D%0AREQUEST_METHOD=POST?REPAIR",
        "/pictorama.cgi/x%0D%0A%0D%0A" + forged + "?REPAIR",
    };
    const std::vector<std::string> inQuery = {
        "/pictorama.cgi?REPAIR%0A" + forged,
        "/pictorama.cgi?REPAIR%0D%0A%0D%0A" + forged,
    };
    // The answers of ordinary CGI runs through the same web server.
    std::map<std::string, HttpReply> direct;
    for (const auto& list : {inPath, inQuery})
        for (const auto& target : list) {
            direct[target] = HttpGet(web.Port(), target);
            ASSERT_EQ(direct[target].status, "HTTP/1.1 200 OK") << target << "\n" << web.ErrorLog();
        }

    auto server = StartServerInstance(g);
    RenameCounter answered(g / "temp", "_rsp");
    for (const auto& target : inPath) {
        HttpReply r = HttpGet(web.Port(), target);
        EXPECT_EQ(r.status, direct[target].status) << target;
        EXPECT_EQ(r.body, direct[target].body) << target;
    }
    // Line breaks decoded into PATH_INFO (and PATH_TRANSLATED) cannot go
    // through a request file: those requests never reached the instance.
    EXPECT_EQ(answered.Count(), 0);
    for (const auto& target : inQuery) {
        HttpReply r = HttpGet(web.Port(), target);
        EXPECT_EQ(r.status, direct[target].status) << target;
        EXPECT_EQ(r.body, direct[target].body) << target;
    }
    EXPECT_FALSE(std::filesystem::exists(outside / "photos/evil.idd"));
    EXPECT_FALSE(std::filesystem::exists(outside / "photos/evil.txt"));
    std::vector<std::string> outsideFiles;
    for (const auto& e : std::filesystem::recursive_directory_iterator(outside.Path()))
        outsideFiles.push_back(e.path().string().substr(outside.Path().size()));
    EXPECT_EQ(outsideFiles, (std::vector<std::string>{"/photos", "/photos/evil.jpg"}));
    EXPECT_TRUE(server->Running());
}
