// What a resident FastCGI process keeps across requests, and what each
// request still gets of its own: one set of thumbnail threads for the
// process's life, and a failed request's status.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "support/CgiHarness.h"
#include "support/FastCgiClient.h"
#include "support/Pictures.h"

using namespace testing_support;

namespace {

const std::map<std::string, std::string> ServerEnvironment = {{"PATH", "/usr/bin:/bin"}};

// Every thread id the process has had while it runs, as /proc lists them:
// looked at continuously, so that a thread living a few milliseconds is
// still seen.
class ThreadCensus {
public:
    explicit ThreadCensus(int pid) : folder_("/proc/" + std::to_string(pid) + "/task") {
        watcher_ = std::thread([this] {
            while (!stop_) {
                Look();
                std::this_thread::yield();
            }
            Look();
        });
    }
    ~ThreadCensus() { Stop(); }
    size_t Stop() {
        stop_ = true;
        if (watcher_.joinable()) watcher_.join();
        return seen_.size();
    }

private:
    void Look() {
        DIR* dir = opendir(folder_.c_str());
        if (!dir) return;
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') seen_.insert(std::atol(e->d_name));
        closedir(dir);
    }
    std::string folder_;
    std::set<long> seen_;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};

}  // namespace

// Rounds of cold first views overlapping on every request thread: the
// thumbnail threads are the process's one set, started once and kept
// between requests, never a set per request.
TEST(FastCgiResident, OverlappingColdRequestsUseOneSetOfThumbnailThreads) {
    constexpr int RequestThreads = 8, ThumbnailThreads = 2, Rounds = 3;
    std::vector<std::unique_ptr<GalleryFolder>> folders;
    for (int i = 0; i < RequestThreads * Rounds; ++i) {
        folders.push_back(std::make_unique<GalleryFolder>());
        for (int p = 0; p < 4; ++p) {
            std::string base = std::string("p").append(std::to_string(p));
            MakeJpeg(*folders.back() / (base + ".jpg"), 320, 240);
            WriteFile(*folders.back() / (base + ".idd"), base + "\r\n");
        }
    }
    auto env = ServerEnvironment;
    env["PICTORAMA_THUMBNAIL_THREADS"] = std::to_string(ThumbnailThreads);
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), env, FastCgiServer::Start::SocketOnStandardInput,
                         {"--threads", std::to_string(RequestThreads)});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    ThreadCensus census(server.Pid());
    std::atomic<int> pages{0};
    for (int round = 0; round < Rounds; ++round) {
        std::vector<std::thread> clients;
        for (int c = 0; c < RequestThreads; ++c) {
            const GalleryFolder& g = *folders[static_cast<size_t>(round * RequestThreads + c)];
            clients.emplace_back([&server, &g, &pages] {
                FastCgiResponse r = FastCgiRequest(server.SocketPath(), g.Environment(""));
                if (r.out.find("4 Images Posted") != std::string::npos && Exists(g / "t_p3.jpg")) ++pages;
            });
        }
        for (auto& c : clients) c.join();
    }
    size_t threads = census.Stop();
    EXPECT_EQ(pages, RequestThreads * Rounds);
    EXPECT_TRUE(server.Running()) << server.ErrorOutput();
    // The request threads, the thumbnail threads, and a few more: the main
    // thread, the input watchdog ending as it starts, the one keeping claims
    // fresh, a sanitizer's own.
    EXPECT_LE(threads, static_cast<size_t>(RequestThreads + ThumbnailThreads + 5));
}

// A failed request (the slideshow of a folder without JPEG pictures) answers
// the error page with status 500, in the form the server wants, as CGI does;
// the process serves on.
TEST(FastCgiResident, FailedRequestAnswersStatus500AsCgiDoes) {
    GalleryFolder g;
    TempDir elsewhere;
    FastCgiServer server(PICTORAMA_CGI_PATH, elsewhere.Path(), ServerEnvironment,
                         FastCgiServer::Start::SocketOnStandardInput, {"--threads", "2"});
    ASSERT_TRUE(server.Running()) << server.ErrorOutput();
    const std::string page = "<html><body>Unhandled Exception: List index out of bounds (0)</body></html>\r\n";
    for (const auto& [software, status] :
         std::vector<std::pair<std::string, std::string>>{{"nginx/1.22.1", "HTTP/1.0 500 Internal Server Error"},
                                                          {"Apache/2.4.57 (Debian)", "Status: 500 Internal Server Error"}}) {
        auto params = g.Environment("W");
        params["SERVER_SOFTWARE"] = software;
        FastCgiResponse r = FastCgiRequest(server.SocketPath(), params);
        EXPECT_EQ(r.out, status + "\r\ncontent-type: text/html\r\n\r\n" + page) << software;
        EXPECT_EQ(r.out, g.Run(params).process.out) << software;
    }
    EXPECT_NE(FastCgiRequest(server.SocketPath(), g.Environment("")).out.find("0 Images Posted"), std::string::npos);
}
