// The FastCGI hosting: the built program as a resident FastCGI server on a
// unix socket, driven by the tests' own client; its pages against the same
// program run as CGI, byte for byte.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/KeptFolders.h"
#include "engine/hostings/FastCgiInputCheck.h"
#include "support/CgiHarness.h"
#include "support/FastCgiClient.h"
#include "support/Pictures.h"

using namespace testing_support;

namespace {

// The server's own environment: what a web server or supervisor leaves a
// program it starts (no SERVER_SOFTWARE, no CGI variables).
const std::map<std::string, std::string> ServerEnvironment = {{"PATH", "/usr/bin:/bin"}};

void Picture(const GalleryFolder& g, const std::string& name, int w, int h, const std::string& caption,
             const std::string& key) {
    std::string base = name.substr(0, name.rfind('.'));
    if (name.ends_with(".gif")) MakeGif(g / name, w, h);
    else MakeJpeg(g / name, w, h);
    WriteFile(g / (base + ".txt"), caption + "\r\n");
    WriteFile(g / (base + ".idd"), key + "\r\n");
}

std::string FastCgiPage(const FastCgiServer& server, const GalleryFolder& g, const std::string& query,
                        const std::map<std::string, std::string>& extra = {}) {
    auto params = g.Environment(query);
    for (const auto& [name, value] : extra) params[name] = value;
    FastCgiResponse r = FastCgiRequest(server.SocketPath(), params);
    EXPECT_TRUE(r.ended) << query;
    EXPECT_EQ(r.protocolStatus, 0);
    return r.out;
}

std::string CgiPage(const GalleryFolder& g, const std::string& query, const std::map<std::string, std::string>& extra = {}) {
    CgiResponse r = g.Get(query, extra);
    EXPECT_EQ(r.process.exitCode, 0);
    return r.process.out;
}

}  // namespace

// Every page, and the error page, as CGI and as FastCGI from one process
// started the way lighttpd's bin-path and mod_fcgid start it: a listening
// socket on standard input, no arguments, no SERVER_SOFTWARE. The program
// runs outside the gallery; the request's SCRIPT_FILENAME names the folder.
TEST(FastCgiPages, SameBytesAsCgiForEveryPage) {
    GalleryFolder g;
    Picture(g, "a.jpg", 120, 90, "Alpha", "1");
    Picture(g, "b.gif", 60, 40, "Beta", "2");
    MakeJpeg(g / "c.jpg", 50, 50);  // no listing file: the repair makes one
    WriteFile(g / "pagetitle.txt", "Holidays\r\n");
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput);
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();

    // The repair changes the folder: each hosting repairs its own copy.
    std::string repairCgi = CgiPage(g, "REPAIR");
    std::filesystem::remove(g / "c.idd");
    std::filesystem::remove(g / "c.txt");
    EXPECT_EQ(FastCgiPage(server, g, "REPAIR"), repairCgi);
    EXPECT_NE(repairCgi.find("Created " + (g / "c.idd")), std::string::npos) << repairCgi;

    for (const std::string query : {"", "S"}) {
        std::string cgi = CgiPage(g, query);
        EXPECT_EQ(FastCgiPage(server, g, query), cgi) << query;
        EXPECT_NE(cgi.find("content-length: "), std::string::npos) << query;
    }
    // Slideshow positions are kept per client address: each hosting steps
    // through slides of its own, the same ones.
    for (int step = 0; step < 3; ++step) {
        std::string cgi = CgiPage(g, "W", {{"REMOTE_ADDR", "10.0.0.1"}});
        EXPECT_EQ(FastCgiPage(server, g, "W", {{"REMOTE_ADDR", "10.0.0.2"}}), cgi) << step;
    }

    // Side files, trace and slideshow positions live beside SCRIPT_FILENAME,
    // none beside the running program.
    EXPECT_TRUE(Exists(g / "pictorama.tst"));
    EXPECT_TRUE(Exists(g / "SlideNext10.0.0.2.txt"));
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path()));
    EXPECT_TRUE(server.Running());
}

TEST(FastCgiErrors, FailingRequestAnswersItsErrorPageAndTheProcessGoesOn) {
    GalleryFolder bad, good;  // a slideshow without pictures fails
    Picture(good, "a.jpg", 80, 60, "A", "1");
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::AddressArgument, {"--threads", "1"});
    std::string expectedError = CgiPage(bad, "W");
    ASSERT_NE(expectedError.find("Unhandled Exception: List index out of bounds (0)"), std::string::npos);
    std::string goodPage = CgiPage(good, "");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(FastCgiPage(server, bad, "W"), expectedError);
        EXPECT_EQ(FastCgiPage(server, good, ""), goodPage);
    }
    // A refused multipart body and a body nobody reads: the same answer as
    // CGI, and the single thread serves on.
    std::string body = "--x\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n" + std::string(1 << 20, 'j') + "\r\n--x--\r\n";
    auto params = good.Environment("", "POST");
    params["CONTENT_TYPE"] = "multipart/form-data; boundary=x";
    params["CONTENT_LENGTH"] = std::to_string(body.size());
    FastCgiResponse refused = FastCgiRequest(server.SocketPath(), params, body);
    CgiResponse cgiRefused = good.Run(params, body);
    EXPECT_EQ(refused.out, cgiRefused.process.out);
    EXPECT_NE(refused.out.find("Method not supported in this version(PUT)"), std::string::npos);
    auto put = good.Environment("", "PUT");
    put["CONTENT_LENGTH"] = std::to_string(body.size());
    EXPECT_EQ(FastCgiRequest(server.SocketPath(), put, body).out, good.Run(put, body).process.out);
    EXPECT_EQ(FastCgiPage(server, good, ""), goodPage);
    EXPECT_TRUE(server.Running());
}

// A web server may pass on every *.cgi URL of the site, named file or not:
// only a folder where the program lies is a gallery. Another folder with
// listed pictures gets 404 and is left exactly as it was.
TEST(FastCgiErrors, UrlOfAFolderWithoutTheProgramIsNotFoundAndWritesNothing) {
    GalleryFolder g;
    Picture(g, "a.jpg", 80, 60, "A", "1");
    const std::string other = g / "other";
    std::filesystem::create_directory(other);
    MakeJpeg(other + "/secret.jpg", 80, 60);
    WriteFile(other + "/secret.idd", "k\r\n");
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::AddressArgument, {"--threads", "1"});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    for (const std::string query : {"", "REPAIR", "W"}) {
        auto params = g.Environment(query);
        params["SCRIPT_NAME"] = "/other/" + g.ProgramName();
        params["SCRIPT_FILENAME"] = other + "/" + g.ProgramName();
        FastCgiResponse r = FastCgiRequest(server.SocketPath(), params);
        EXPECT_TRUE(r.ended) << query;
        EXPECT_TRUE(r.out.starts_with("Status: 404 Not Found\r\n")) << r.out;
        EXPECT_EQ(r.out.find("secret"), std::string::npos) << r.out;
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(other)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"secret.idd", "secret.jpg"}));
    // A request that names no program file at all (nor a document root and
    // script name to find it from), or only a relative one: the process's
    // own working folder is no gallery either.
    for (const std::string& relative : {std::string(), g.ProgramName()}) {
        auto params = g.Environment("");
        params.erase("SCRIPT_FILENAME");
        params.erase("DOCUMENT_ROOT");
        if (!relative.empty()) params["SCRIPT_FILENAME"] = relative;
        FastCgiResponse r = FastCgiRequest(server.SocketPath(), params);
        EXPECT_TRUE(r.ended) << relative;
        EXPECT_TRUE(r.out.starts_with("Status: 404 Not Found\r\n")) << r.out;
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path())) << "written in the working folder";
    // The gallery itself is served on.
    EXPECT_EQ(FastCgiPage(server, g, ""), CgiPage(g, ""));
}

// Several threads, each sending requests for two galleries in turn; every
// page must be its own gallery's, whole (nothing of one request shows in
// another served by the same thread or at the same time).
TEST(FastCgiConcurrency, InterleavedRequestsForTwoGalleriesKeepTheirOwnPages) {
    GalleryFolder a, b;
    for (int i = 0; i < 4; ++i) Picture(a, "a" + std::to_string(i) + ".jpg", 90, 60, "Apple " + std::to_string(i), "1");
    Picture(b, "b0.gif", 40, 40, "Banana", "9");
    WriteFile(b / "pagetitle.txt", "Fruit of B\r\n");
    WriteFile(b / "header.txt", "<meta name=\"b\" content=\"only B\">\r\n");
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput, {"--threads", "4"});
    const std::vector<std::string> queries = {"", "S"};
    std::map<std::string, std::string> expected;
    for (const std::string& q : queries) {
        expected["a" + q] = CgiPage(a, q);
        expected["b" + q] = CgiPage(b, q);
    }
    ASSERT_NE(expected["a"], expected["b"]);
    std::atomic<int> wrong{0}, served{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 12; ++i) {
                bool useA = (i + t) % 2 == 0;
                const std::string& q = queries[static_cast<size_t>((i / 2 + t) % 2)];
                const GalleryFolder& g = useA ? a : b;
                FastCgiResponse r = FastCgiRequest(server.SocketPath(), g.Environment(q));
                if (r.out != expected[(useA ? "a" : "b") + q]) ++wrong;
                ++served;
            }
        });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(served.load(), 72);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(server.Running());
}

// Request threads of one process at a cold folder: they share the claims
// and the process's thumbnail threads, and every page and thumbnail is the
// one a lone CGI view making them one at a time gives.
TEST(FastCgiConcurrency, ColdFolderRequestsShareTheThumbnailThreads) {
    GalleryFolder reference, cold;
    for (const GalleryFolder* g : {&reference, &cold})
        for (int i = 0; i < 12; ++i)
            Picture(*g, std::string("p").append(std::to_string(i)).append(i % 4 ? ".jpg" : ".gif"), 400 + 8 * i, 300,
                    "Caption", "k");
    std::string expected = CgiPage(reference, "", {{"PICTORAMA_THUMBNAIL_THREADS", "1"}});
    auto env = ServerEnvironment;
    env["PICTORAMA_THUMBNAIL_THREADS"] = "3";
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), env, FastCgiServer::Start::SocketOnStandardInput,
                         {"--threads", "4"});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    std::vector<std::string> pages(8);
    std::vector<std::thread> clients;
    for (size_t t = 0; t < pages.size(); ++t)
        clients.emplace_back([&, t] { pages[t] = FastCgiRequest(server.SocketPath(), cold.Environment("")).out; });
    for (auto& c : clients) c.join();
    for (size_t t = 0; t < pages.size(); ++t) EXPECT_EQ(pages[t], expected) << "request " << t;
    for (const auto& entry : std::filesystem::directory_iterator(cold.Path())) {
        std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(".~"), std::string::npos) << "left behind: " << name;
        if (name.starts_with("t_")) {
            EXPECT_EQ(ReadFile(entry.path().string()), ReadFile(reference / name)) << name;
        }
    }
    EXPECT_TRUE(server.Running()) << server.ErrorOutput();
}

TEST(FastCgiLifetime, StopSignalFinishesTheRequestInFlightThenEnds) {
    GalleryFolder g;
    Picture(g, "a.jpg", 80, 60, "A", "1");
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput, {"--threads", "2"});
    std::string page = CgiPage(g, "");
    auto params = g.Environment("", "POST");
    params["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    params["CONTENT_LENGTH"] = "7";
    bool runningAfterSignal = false;
    FastCgiResponse r = FastCgiRequest(server.SocketPath(), params, "a=1&b=2", 60, [&] {
        // The request has begun and waits for its body when the stop comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.Signal(SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        runningAfterSignal = server.Running();
    });
    EXPECT_TRUE(runningAfterSignal);
    EXPECT_TRUE(r.ended);
    auto cgiParams = params;
    EXPECT_EQ(r.out, g.Run(cgiParams, "a=1&b=2").process.out);
    EXPECT_NE(r.out.find("Images Posted"), std::string::npos);
    EXPECT_TRUE(server.WaitExit(5));
    EXPECT_EQ(server.ExitCode(), 0);
}

// A stop signal while requests wait for the busy threads: every request
// that has arrived is answered before the process ends.
TEST(FastCgiLifetime, StopSignalServesTheRequestsThatHaveArrivedThenEnds) {
    GalleryFolder g;
    Picture(g, "a.jpg", 80, 60, "A", "1");
    // A page larger than a connection holds unread: its write waits until
    // its reader reads.
    WriteFile(g / "header.txt", std::string(2 << 20, 'h') + "\r\n");
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput, {"--threads", "1"});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    const std::string page = CgiPage(g, "");
    FastCgiKeptConnection slowReader(server.SocketPath());
    std::string begin(8, '\0');
    begin[1] = 1;
    ASSERT_TRUE(slowReader.Send(FastCgiRecord(1, begin) + FastCgiRecord(4, FastCgiPairs(g.Environment(""))) +
                                FastCgiRecord(4, "") + FastCgiRecord(5, "")));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    constexpr int Waiting = 4;
    std::vector<FastCgiResponse> answers(Waiting);
    std::vector<std::thread> visitors;
    for (int i = 0; i < Waiting; ++i)
        visitors.emplace_back([&, i] { answers[static_cast<size_t>(i)] = FastCgiRequest(server.SocketPath(), g.Environment(""), "", 30); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    server.Signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    FastCgiResponse first = slowReader.Receive(30);
    for (auto& visitor : visitors) visitor.join();
    // (The pages are compared whole, not printed.)
    EXPECT_TRUE(first.ended);
    EXPECT_TRUE(first.out == page) << first.out.size() << " bytes";
    for (int i = 0; i < Waiting; ++i) {
        EXPECT_TRUE(answers[static_cast<size_t>(i)].ended) << "request " << i << " closed unanswered";
        EXPECT_TRUE(answers[static_cast<size_t>(i)].out == page) << i;
    }
    EXPECT_TRUE(server.WaitExit(10));
    EXPECT_EQ(server.ExitCode(), 0);
}

// The address to listen on: a unix socket's path (with a "/"), host:port or
// [IPv6]:port for TCP. Anything else, a port alone included, is refused
// with a message and status 2 before anything is made; so are the other
// settings a start cannot serve.
TEST(FastCgiStart, AddressFormsAndBadSettings) {
    GalleryFolder g;
    Picture(g, "a.jpg", 80, 60, "A", "1");
    TempDir elsewhere;
    {
        FastCgiServer six(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                          FastCgiServer::Start::IPv6LoopbackPort, {"--threads", "1"});
        ASSERT_TRUE(six.Running()) << six.ErrorOutput();
        EXPECT_EQ(FastCgiPage(six, g, ""), CgiPage(g, "")) << "over IPv6";
    }
    for (const std::string address : {"19003", "[::1]:19004x", "localhost", "[::1]", "127.0.0.1:", "127.0.0.1:99999",
                                      "photos.example:9000", "::1:9000"}) {
        FastCgiServer refused(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                              FastCgiServer::Start::OwnArguments, {"--fastcgi", address});
        EXPECT_TRUE(refused.WaitExit(10)) << address << " served";
        EXPECT_EQ(refused.ExitCode(), 2) << address;
        EXPECT_NE(refused.ErrorOutput().find("--fastcgi " + address + ":"), std::string::npos)
            << address << ": " << refused.ErrorOutput();
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path())) << "a refused address made a file";

    FastCgiServer threads(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                          FastCgiServer::Start::AddressArgument, {"--threads", "0"});
    EXPECT_TRUE(threads.WaitExit(10));
    EXPECT_EQ(threads.ExitCode(), 2);
    EXPECT_NE(threads.ErrorOutput().find("--threads takes a number from 1 to 256"), std::string::npos);
    auto env = ServerEnvironment;
    env["PICTORAMA_FASTCGI_THREADS"] = "lots";
    FastCgiServer variable(PICTORAMA_CGI_PATH, elsewhere.Path(), env, FastCgiServer::Start::SocketOnStandardInput);
    EXPECT_TRUE(variable.WaitExit(10));
    EXPECT_EQ(variable.ExitCode(), 2);
    EXPECT_NE(variable.ErrorOutput().find("PICTORAMA_FASTCGI_THREADS"), std::string::npos);
}

// The resident process keeps what it learned of a folder between requests
// only while the folder stays unchanged: a picture, caption, listing file,
// thumbnail or title added, changed or removed shows in the next page, which
// is the CGI page of the folder as it then is.
TEST(FastCgiLifetime, ChangesOnDiskShowInTheNextRequest) {
    GalleryFolder g;
    Picture(g, "a.jpg", 80, 60, "First caption", "1");
    Picture(g, "c.jpg", 60, 80, "Third", "3");
    TempDir elsewhere, outside;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput, {"--threads", "2"});
    std::string page = FastCgiPage(server, g, "");
    EXPECT_EQ(page, CgiPage(g, ""));
    EXPECT_EQ(FastCgiPage(server, g, ""), page) << "unchanged";
    const std::vector<std::pair<std::string, std::function<void()>>> changes = {
        {"picture added", [&] { Picture(g, "b.jpg", 80, 60, "Second picture", "2"); }},
        {"caption written in place, same length", [&] { WriteFile(g / "a.txt", "First CAPTION\r\n"); }},
        {"listing line changed", [&] { WriteFile(g / "a.idd", "9\r\n"); }},
        {"listing file removed", [&] { std::filesystem::remove(g / "b.idd"); }},
        {"caption removed", [&] { std::filesystem::remove(g / "c.txt"); }},
        {"caption renamed into place", [&] {
             WriteFile(outside / "c.txt", "Moved in\r\n");
             std::filesystem::rename(outside / "c.txt", g / "c.txt");
         }},
        {"thumbnail replaced", [&] { MakeJpeg(g / "t_a.jpg", 33, 22); }},
        {"thumbnail written in place", [&] {
             MakeJpeg(outside / "t.jpg", 34, 22);
             WriteFile(g / "t_a.jpg", ReadFile(outside / "t.jpg"));
         }},
        {"picture removed", [&] { std::filesystem::remove(g / "c.jpg"); }},
        {"title added", [&] { WriteFile(g / "pagetitle.txt", "Holidays\r\n"); }},
        {"title changed", [&] { WriteFile(g / "pagetitle.txt", "Holidayz\r\n"); }},
    };
    for (const auto& [what, change] : changes) {
        change();
        std::string next = FastCgiPage(server, g, "");
        EXPECT_NE(next, page) << what;
        EXPECT_EQ(next, CgiPage(g, "")) << what;
        EXPECT_EQ(FastCgiPage(server, g, ""), next) << what << ", asked again";
        page = next;
    }
    // A thumbnail removed is made again, as under CGI.
    std::filesystem::remove(g / "t_a.jpg");
    page = FastCgiPage(server, g, "");
    EXPECT_TRUE(Exists(g / "t_a.jpg"));
    EXPECT_NE(page.find("width=80 height=60"), std::string::npos);
    EXPECT_EQ(page, CgiPage(g, ""));
    EXPECT_NE(page.find("\r\n1 Images Posted\r\n"), std::string::npos);

    // The trace of a page served from what was kept is the CGI run's.
    std::vector<std::string> cgiTrace = g.TraceLines();
    FastCgiPage(server, g, "");
    EXPECT_EQ(g.TraceLines(), cgiTrace);
}

// A resident process keeps the photo page's table with its folder: the same
// request again is answered from it, with the CGI run's page and trace, and a
// request that differs in anything the table is made from (the host, the URL
// the folder is asked under, a side file, the thumbnail setting with a
// thumbnail to make) gets the table CGI makes for it.
TEST(FastCgiLifetime, KeptTableServesOnlyTheSameRequestOfTheSameFolder) {
    GalleryFolder g;
    TempDir elsewhere, outside;
    Picture(g, "a.jpg", 80, 60, "Alpha", "1");
    Picture(g, "b.jpg", 60, 80, "Beta", "2");
    // a's caption is a line too long to be kept by itself, under a second
    // name outside the folder: a change through that name is one the cache
    // does not follow, so a page that misses it came from the kept table.
    const std::string longCaption(kept_folders::MaxKeptLineBytes + 100, 'x');
    WriteFile(outside / "a.txt", longCaption + "\r\n");
    std::filesystem::remove(g / "a.txt");
    std::filesystem::create_hard_link(outside / "a.txt", g / "a.txt");
    CgiPage(g, "");  // makes the thumbnails
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput, {"--threads", "2"});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();

    // The page and trace of CGI, from a table made and from the table kept.
    auto same = [&](const std::map<std::string, std::string>& extra, const std::string& what) {
        std::string cgi = CgiPage(g, "", extra);
        std::vector<std::string> cgiTrace = g.TraceLines();
        for (const char* time : {"made", "kept"}) {
            EXPECT_EQ(FastCgiPage(server, g, "", extra), cgi) << what << ", " << time;
            EXPECT_EQ(g.TraceLines(), cgiTrace) << what << ", " << time;
        }
        return cgi;
    };
    const std::string page = same({}, "first");
    ASSERT_NE(page.find(longCaption), std::string::npos);

    WriteFile(outside / "a.txt", "Changed elsewhere\r\n");
    EXPECT_EQ(FastCgiPage(server, g, ""), page) << "the kept table, not the files";
    EXPECT_NE(CgiPage(g, ""), page);

    // Each input of the table, changed alone.
    const std::string parent = std::filesystem::path(g.Path()).parent_path();
    const std::string folderName = std::filesystem::path(g.Path()).filename();
    const std::map<std::string, std::string> otherUrl = {
        {"DOCUMENT_ROOT", parent}, {"SCRIPT_NAME", "/" + folderName + "/pictorama.cgi"}};
    for (const auto& [what, extra] : std::vector<std::pair<std::string, std::map<std::string, std::string>>>{
             {"another host", {{"HTTP_HOST", "photos.example"}}},
             {"no host", {{"HTTP_HOST", ""}}},
             {"the folder under another URL", otherUrl},
         }) {
        std::string cgi = same(extra, what);
        EXPECT_NE(cgi, page) << what;
    }
    // A caption edited in the folder: every kept table of it goes.
    WriteFile(g / "b.txt", "Beta edited\r\n");
    EXPECT_NE(same({}, "caption edited").find("Beta edited"), std::string::npos);
    EXPECT_NE(same({{"HTTP_HOST", "photos.example"}}, "caption edited, another host").find("Beta edited"),
              std::string::npos);
    // A listing line can lead a picture's side files into other folders: a
    // table made from them is not kept with this folder.
    Picture(g, "c.jpg", 50, 50, "Gamma", "3&&sub/");
    for (const char* folder : {"sub", "t_sub"}) std::filesystem::create_directory(g / folder);
    WriteFile(g / "sub/&&c.txt", "Under sub\r\n");
    MakeJpeg(g / "t_sub/&&c.jpg", 25, 25);
    EXPECT_NE(same({}, "side files in a subfolder").find("Under sub"), std::string::npos);
    WriteFile(g / "sub/&&c.txt", "Under sub, edited\r\n");
    EXPECT_NE(same({}, "side file in a subfolder edited").find("Under sub, edited"), std::string::npos);
    // A new thumbnail size with a thumbnail to make: the table shows it.
    WriteFile(g / "pagetitle.txt", "Holidays\r\nTHUMBSIZE:40,50\r\n");
    std::filesystem::remove(g / "t_b.jpg");
    std::string resized = FastCgiPage(server, g, "");
    EXPECT_NE(resized.find("width=30 height=40"), std::string::npos) << resized;
    EXPECT_EQ(same({}, "thumbnail size"), resized);
}

// The trace file of the last request is written anew in place only where
// deleting it and making it again would leave the same file: whatever stood
// under its name, every request leaves a file of its own with its lines, as
// CGI does, and nothing reached through the name changes.
TEST(FastCgiLifetime, TraceFileEndsAsDeletingAndMakingItAgainLeavesIt) {
    GalleryFolder g;
    TempDir elsewhere, outside;
    Picture(g, "a.jpg", 40, 30, "Alpha", "1");
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput);
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    const std::string trace = g / "pictorama.tst";
    CgiPage(g, "");  // makes the thumbnail
    CgiPage(g, "");
    const std::vector<std::string> cgiTrace = g.TraceLines();
    struct stat made {};
    ASSERT_EQ(::stat(trace.c_str(), &made), 0);
    auto request = [&](const std::string& what) {
        FastCgiPage(server, g, "");
        EXPECT_EQ(g.TraceLines(), cgiTrace) << what;
        struct stat now {};
        EXPECT_EQ(::lstat(trace.c_str(), &now), 0) << what;
        EXPECT_TRUE(S_ISREG(now.st_mode)) << what;
        EXPECT_EQ(now.st_nlink, 1u) << what;
        EXPECT_EQ(now.st_mode, made.st_mode) << what;
    };
    request("first");
    request("its own file again");

    WriteFile(trace, std::string(100000, 'x'));
    request("a longer file before");

    WriteFile(outside / "target.txt", "keep me\r\n");
    std::filesystem::remove(trace);
    std::filesystem::create_symlink(outside / "target.txt", trace);
    request("a symbolic link");
    EXPECT_EQ(ReadFile(outside / "target.txt"), "keep me\r\n");

    std::filesystem::create_hard_link(trace, outside / "other.tst");
    request("a second name");
    EXPECT_EQ(ReadFile(outside / "other.tst"), ReadFile(trace)) << "the old file, as it was";
    std::filesystem::remove(outside / "other.tst");
    WriteFile(outside / "other.tst", "old\r\n");
    std::filesystem::remove(trace);
    std::filesystem::create_hard_link(outside / "other.tst", trace);
    request("a second name, older lines");
    EXPECT_EQ(ReadFile(outside / "other.tst"), "old\r\n");

    ::chmod(trace.c_str(), 0600);
    request("other permissions");

    std::filesystem::remove(trace);
    ASSERT_EQ(::mkfifo(trace.c_str(), 0644), 0);
    request("a pipe nobody reads");

    // More lines than the trace keeps to write at once: written as they come.
    for (int i = 0; i < 400; ++i) WriteFile(g / (std::to_string(i) + std::string(200, 'n') + ".idd"), "0\r\n");
    std::string cgiPage = CgiPage(g, "");
    std::string cgiText = ReadFile(trace);
    ASSERT_GT(cgiText.size(), 80000u);
    WriteFile(trace, std::string(2 * cgiText.size(), 'x'));
    EXPECT_EQ(FastCgiPage(server, g, ""), cgiPage);
    EXPECT_EQ(ReadFile(trace), cgiText);
    EXPECT_EQ(FastCgiPage(server, g, ""), cgiPage);
    EXPECT_EQ(ReadFile(trace), cgiText) << "over the long trace of the last request";
}

namespace {

// A length of a name-value pair in its four-byte form.
std::string LongLength(uint32_t n) {
    return {char(0x80 | (n >> 24)), char((n >> 16) & 0xff), char((n >> 8) & 0xff), char(n & 0xff)};
}

std::string BeginRecord() {
    std::string begin(8, '\0');
    begin[1] = 1;  // the responder role
    return FastCgiRecord(1, begin);
}

}  // namespace

// Only the web server should reach the socket, but whatever else does must
// not bring the process down: pair lengths past 2^31 (the FastCGI library
// would allocate a negative size and write through null), a single pair
// announcing a gigabyte, parameters beyond the bound, a management record
// asking the same value over and over (the library would write past its
// stack buffer), one of a type no web server sends (it would leak), a record
// in a begin record's padding (the library reads that padding as records). Each
// connection is closed with nothing written, at once, and the next request
// is served as before.
TEST(FastCgiErrors, HostilePeerIsCutOffAndTheProcessServesOn) {
    GalleryFolder g;
    Picture(g, "a.jpg", 80, 60, "A", "1");
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput, {"--threads", "2"});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    const std::string page = CgiPage(g, "");

    std::string manyPairs;
    while (manyPairs.size() <= MaxFastCgiParamsBytes) manyPairs += FastCgiPairs({{"HTTP_X", std::string(60000, 'x')}});
    std::string manyRecords;
    for (size_t at = 0; at < manyPairs.size(); at += 60000) manyRecords += FastCgiRecord(4, manyPairs.substr(at, 60000));
    std::string askTwice;
    for (int i = 0; i < 8; ++i) askTwice += FastCgiPairs({{"FCGI_MAX_CONNS", ""}});
    const std::map<std::string, std::string> hostile = {
        {"negative size", BeginRecord() + FastCgiRecord(4, LongLength(0x7ffffff0) + LongLength(0x7ffffff0) + "NAME")},
        {"a gigabyte", BeginRecord() + FastCgiRecord(4, LongLength(1u << 30) + '\0' + "HTTP_")},
        {"past the bound", BeginRecord() + manyRecords},
        {"values asked again and again", FastCgiRecord(9, askTwice, 0) + BeginRecord()},
        {"a management record of another type", FastCgiRecord(11, "", 0) + BeginRecord()},
        // The library takes a begin record's padding for the next record.
        {"records in a begin record's padding",
         std::string("\1\1\0\1\0\x08\x18\0", 8) + std::string("\0\1\0\0\0\0\0\0", 8) +
             FastCgiRecord(4, LongLength(0x7ffffff0) + LongLength(0x7ffffff0) + "NAMEVALU")},
    };
    for (const auto& [what, bytes] : hostile) {
        FastCgiRawAnswer answer = FastCgiRawExchange(server.SocketPath(), bytes, 10);
        EXPECT_TRUE(answer.closedByServer) << what;
        EXPECT_EQ(answer.bytes, "") << what;
        ASSERT_TRUE(server.Running()) << what << "\n" << server.ErrorOutput();
        EXPECT_EQ(FastCgiPage(server, g, ""), page) << what;
    }
    // A request just inside the bound (a web server's large header lines)
    // is served.
    auto params = g.Environment("");
    params["HTTP_COOKIE"] = std::string(100000, 'c');
    FastCgiResponse big = FastCgiRequest(server.SocketPath(), params);
    EXPECT_TRUE(big.ended);
    EXPECT_EQ(big.out, page);
}

namespace {

// How often each name in a folder was put in place (renamed or created
// there) while it was watched.
class PlacedNames {
public:
    explicit PlacedNames(const std::string& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ < 0 || inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO | IN_CREATE) < 0)
            throw std::runtime_error("cannot watch " + folder);
    }
    ~PlacedNames() { close(fd_); }
    std::map<std::string, int> Counts() {
        alignas(inotify_event) char buffer[65536];
        for (;;) {
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->mask & IN_Q_OVERFLOW) throw std::runtime_error("inotify queue overflow");
                if (event->len > 0) ++counts_[event->name];
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return counts_;
    }

private:
    int fd_;
    std::map<std::string, int> counts_;
};

}  // namespace

// A cold folder viewed by many visitors at once, all served by one process
// on several threads: the claims share the work between its threads as
// between CGI processes. Every page is the CGI page of the same folder,
// every thumbnail is put in place exactly once, and no claim is left.
TEST(FastCgiConcurrency, FirstViewsTogetherMakeEachThumbnailOnce) {
    constexpr int Pictures = 24, Visitors = 12;
    GalleryFolder g, twin;
    for (int i = 0; i < Pictures; ++i) {
        std::string base = "p";
        base += std::to_string(i);
        for (const GalleryFolder* f : {&g, &twin}) {
            MakeJpeg(*f / (base + ".jpg"), 640, 480);
            WriteFile(*f / (base + ".idd"), std::to_string(i) + "\r\n");
        }
    }
    const std::string page = CgiPage(twin, "");  // a CGI visitor's first view
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput, {"--threads", "4"});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    PlacedNames placed(g.Path());
    std::vector<std::string> pages(Visitors);
    std::vector<std::thread> visitors;
    for (int v = 0; v < Visitors; ++v)
        visitors.emplace_back([&, v] { pages[static_cast<size_t>(v)] = FastCgiPage(server, g, ""); });
    for (auto& t : visitors) t.join();
    for (int v = 0; v < Visitors; ++v) EXPECT_EQ(pages[static_cast<size_t>(v)], page) << "visitor " << v;
    std::map<std::string, int> counts = placed.Counts();
    for (int i = 0; i < Pictures; ++i) {
        std::string thumbnail = "t_p";
        thumbnail += std::to_string(i) + ".jpg";
        EXPECT_EQ(counts[thumbnail], 1) << thumbnail;
    }
    for (const auto& entry : std::filesystem::directory_iterator(g.Path()))
        EXPECT_EQ(entry.path().filename().string().find(".~"), std::string::npos) << entry.path();
    EXPECT_TRUE(server.Running());
}
