// Requests per second through the library (one loaded copy, 2 server
// threads) against the CGI program (a process per request, 2 at a time), for
// the report page and for the photo page of 50 pictures whose thumbnails are
// already made. Both serve the same folder in the same run; each figure is
// the best of three turns.
//
// Usage: isapi_vs_cgi_bench [CGI_REQUESTS [LIBRARY_REQUESTS]]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Pictures.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const std::string Binary = PICTORAMA_BINARY_DIR;

std::map<std::string, std::string> CgiEnvironment(const std::string& folder, const std::string& query) {
    return {{"GATEWAY_INTERFACE", "CGI/1.1"},  {"SERVER_SOFTWARE", "lighttpd/1.4.69"},
            {"SERVER_NAME", "localhost"},       {"SERVER_PORT", "8080"},
            {"SERVER_PROTOCOL", "HTTP/1.1"},    {"REQUEST_METHOD", "GET"},
            {"QUERY_STRING", query},            {"SCRIPT_NAME", "/pictorama.cgi"},
            {"DOCUMENT_ROOT", folder},          {"HTTP_HOST", "localhost:8080"},
            {"REMOTE_ADDR", "127.0.0.1"},       {"PATH", "/usr/bin:/bin"}};
}

// Wall-clock requests per second of count CGI runs, two at a time.
double CgiRate(const std::string& folder, const std::string& query, int count) {
    auto env = CgiEnvironment(folder, query);
    std::atomic<int> next{0}, failures{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w)
        workers.emplace_back([&] {
            while (next++ < count) {
                ProcessResult r = RunProgram(folder + "/pictorama.cgi", {}, env);
                if (r.exitCode != 0 || r.out.find("</html>") == std::string::npos) ++failures;
            }
        });
    for (auto& w : workers) w.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failures) std::fprintf(stderr, "CGI: %d failed requests\n", failures.load());
    return count / seconds;
}

// Requests per second the stand-in server measured over count requests on
// two threads (loading the library is not counted: a server loads it once).
double LibraryRate(const std::string& folder, const std::string& query, int count, const std::string& expect) {
    TempDir work;
    std::ostringstream plan;
    plan << "threads 2\nrounds " << count << "\nrequest\nmethod GET\nquery " << query << "\npathtranslated "
         << folder << "\nvar SERVER_SOFTWARE=lighttpd/1.4.69\nvar SERVER_NAME=localhost\nvar SERVER_PORT=8080\n"
         << "var SERVER_PROTOCOL=HTTP/1.1\nvar SCRIPT_NAME=/pictorama.cgi\nvar HTTP_HOST=localhost:8080\n"
         << "var REMOTE_ADDR=127.0.0.1\nexpect " << expect << "\nend\n";
    WriteFile(work / "plan", plan.str());
    ProcessResult r = RunProgram(Binary + "/isapi_host", {folder + "/pictorama.so", work / "plan"}, {}, "", 0, 900);
    if (r.exitCode != 0) std::fprintf(stderr, "library run failed:\n%s\n", r.out.c_str());
    size_t at = r.out.find("requests-per-second ");
    return at == std::string::npos ? 0.0 : std::atof(r.out.c_str() + at + 20);
}

}  // namespace

int main(int argc, char** argv) {
    int cgiRequests = argc > 1 ? std::atoi(argv[1]) : 200;
    int libraryRequests = argc > 2 ? std::atoi(argv[2]) : 2000;

    TempDir gallery;
    std::filesystem::copy_file(Binary + "/pictorama.cgi", gallery / "pictorama.cgi");
    std::filesystem::copy_file(Binary + "/pictorama.so", gallery / "pictorama.so");
    for (int i = 0; i < 50; ++i) {
        char base[16];
        std::snprintf(base, sizeof base, "img%02d", i);
        MakeJpeg(gallery / (std::string(base) + ".jpg"), 640, 480);
        WriteFile(gallery / (std::string(base) + ".txt"), std::string("Picture ") + base + "\r\n");
        WriteFile(gallery / (std::string(base) + ".idd"), "2026\r\n");
    }
    // One photo page makes the thumbnails; the measured ones find them.
    ProcessResult warm = RunProgram(gallery / "pictorama.cgi", {}, CgiEnvironment(gallery.Path(), ""));
    if (warm.out.find("50 Images Posted") == std::string::npos) {
        std::fprintf(stderr, "the photo page did not list 50 pictures\n");
        return 1;
    }

    struct Case {
        const char* name;
        const char* query;
        const char* expect;
        double target;
    };
    const Case cases[] = {{"report page", "S", "QUERY_STRING=S<br>", 10.0},
                          {"photo page, 50 pictures", "", "50 Images Posted", 1.3}};
    std::printf("%-26s %14s %14s %8s %8s\n", "page", "CGI req/s", "library req/s", "ratio", "target");
    for (const Case& c : cases) {
        // The machine is shared: the two hostings take turns, and each keeps
        // its best run, so that a busy moment does not count against one.
        double cgi = 0, library = 0;
        for (int trial = 0; trial < 3; ++trial) {
            cgi = std::max(cgi, CgiRate(gallery.Path(), c.query, cgiRequests));
            library = std::max(library, LibraryRate(gallery.Path(), c.query, libraryRequests, c.expect));
        }
        std::printf("%-26s %14.1f %14.1f %7.1fx %7.1fx\n", c.name, cgi, library, cgi > 0 ? library / cgi : 0.0,
                    c.target);
    }
    return 0;
}
