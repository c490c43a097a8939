// The gallery as a library under our stand-in web server: the exports and
// the version handshake, the same pages as the CGI program gives, and many
// requests at once through one loaded library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "support/CgiHarness.h"
#include "support/Pictures.h"

using namespace testing_support;

namespace {

// One request of a plan for the stand-in server.
struct HostRequest {
    std::string query;
    std::string method = "GET";
    std::string pathTranslated;
    std::map<std::string, std::string> variables;
    std::vector<std::string> expect, reject;
    std::string bodySize;  // empty: no body
    std::string available;
    int status = 0;  // the status the library must give the server; 0: any
};

// A server that loads the library for a while only: load, serve, terminate
// and unload, cycles times, the files removed before each cycle.
struct HostCycles {
    int cycles = 0;
    std::vector<std::string> removed;
    std::map<std::string, std::string> environment;  // more for the host
};

struct HostRun {
    ProcessResult process;
    std::map<std::string, std::string> summary;  // first word -> rest of the line
    std::vector<std::string> problems;
    std::vector<std::string> responses;
};

// The variables a web server has for GET /<script>?query with the document
// root at pathTranslated.
HostRequest Request(const std::string& root, const std::string& script, const std::string& query) {
    HostRequest r;
    r.query = query;
    r.pathTranslated = root;
    r.variables = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"},
                   {"SERVER_NAME", "localhost"},
                   {"SERVER_PORT", "8080"},
                   {"SERVER_PROTOCOL", "HTTP/1.1"},
                   {"SCRIPT_NAME", script},
                   {"HTTP_HOST", "localhost:8080"},
                   {"REMOTE_ADDR", "127.0.0.1"}};
    return r;
}

std::string Escaped(const std::string& s) {
    std::string out;
    for (char c : s) out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

// Runs the stand-in server over library with the requests; keepResponses
// writes and returns each raw response.
HostRun RunHost(const std::string& library, const std::vector<HostRequest>& requests, int threads = 1,
                int rounds = 1, bool keepResponses = true, const std::string& variables = "refuse",
                const HostCycles& cycles = {}) {
    TempDir work;
    std::ostringstream plan;
    plan << "threads " << threads << "\nrounds " << rounds << "\nvariables " << variables << "\n";
    if (keepResponses) plan << "output " << work.Path() << "\n";
    if (cycles.cycles > 0) plan << "cycles " << cycles.cycles << "\n";
    for (const auto& path : cycles.removed) plan << "remove " << path << "\n";
    for (const auto& r : requests) {
        plan << "request\nmethod " << r.method << "\nquery " << r.query << "\npathtranslated " << r.pathTranslated
             << "\n";
        for (const auto& [name, value] : r.variables) plan << "var " << name << "=" << Escaped(value) << "\n";
        for (const auto& e : r.expect) plan << "expect " << e << "\n";
        for (const auto& e : r.reject) plan << "reject " << e << "\n";
        if (!r.bodySize.empty()) plan << "body-size " << r.bodySize << "\n";
        if (!r.available.empty()) plan << "available " << r.available << "\n";
        if (r.status) plan << "status " << r.status << "\n";
        plan << "end\n";
    }
    WriteFile(work / "plan", plan.str());
    std::map<std::string, std::string> env;
    for (const char* name : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PATH"})
        if (const char* v = std::getenv(name)) env[name] = v;
    for (const auto& [name, value] : cycles.environment) env[name] = value;
    HostRun run;
    run.process = RunProgram(PICTORAMA_ISAPI_HOST, {library, work / "plan"}, env, "", 0, 900);
    std::istringstream lines(run.process.out);
    std::string line;
    while (std::getline(lines, line)) {
        // The host writes text: lines end in CR LF on Windows.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t space = line.find(' ');
        std::string word = line.substr(0, space), rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (word == "problem") run.problems.push_back(rest);
        else run.summary[word] = rest;
    }
    if (keepResponses)
        for (size_t i = 0; i < requests.size() * static_cast<size_t>(rounds); ++i)
            run.responses.push_back(Exists(work / (std::to_string(i) + ".txt")) ? ReadFile(work / (std::to_string(i) + ".txt")) : "");
    return run;
}

std::string BodyOf(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// The library beside the CGI program in the gallery folder, where it finds
// its captions, settings and slideshow state as the program does.
std::string InstallLibrary(const GalleryFolder& g) {
    std::string path = g / "pictorama.so";
    std::filesystem::copy_file(PICTORAMA_LIBRARY_PATH, path);
    return path;
}

// A picture with its caption and listing file (the photo page lists the
// pictures that have one).
void Picture(const std::string& folder, const std::string& base, int width, int height) {
    MakeJpeg(folder + "/" + base + ".jpg", width, height);
    WriteFile(folder + "/" + base + ".txt", "The " + base + "\r\n");
    WriteFile(folder + "/" + base + ".idd", "key " + base + "\r\n");
}

void Pictures(const std::string& folder, int count) {
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "p%02d", i);
        Picture(folder, name, 48, 36);
    }
}

// --- Loading --------------------------------------------------------------------

TEST(IsapiLibrary, ExportsTheFiveEntryPointsAndAnswersTheHandshake) {
    GalleryFolder g;
    std::string library = InstallLibrary(g);
    HostRun run = RunHost(library, {Request(g.Path(), "/pictorama.cgi", "S")});
    ASSERT_EQ(run.process.exitCode, 0) << run.process.out << run.process.err;
    EXPECT_EQ(run.summary["exports"], "ok");
    EXPECT_EQ(run.summary["GetExtensionVersion"], "1 00020000 \"\"");
    EXPECT_EQ(run.summary["GetFilterVersion"], "1 00020000 flags 0");
    EXPECT_EQ(run.summary["HttpFilterProc"], "08000002");
    EXPECT_EQ(run.summary["served"], "1");
    EXPECT_EQ(run.summary["TerminateExtension"], "0");
}

TEST(IsapiLibrary, OnlyTheEntryPointsAreExported) {
    // Everything else stays inside: a host that loads two such libraries
    // must not get one's engine through the other's symbols.
    std::vector<std::string> names = ExportedFunctions(PICTORAMA_LIBRARY_PATH);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"GetExtensionVersion", "GetFilterVersion", "HttpExtensionProc",
                                               "HttpFilterProc", "TerminateExtension"}));
}

TEST(IsapiLibrary, TraceLandsBesideTheLibrary) {
    GalleryFolder g;
    std::string library = InstallLibrary(g);
    HostRun run = RunHost(library, {Request(g.Path(), "/pictorama.cgi", "S")});
    ASSERT_EQ(run.process.exitCode, 0) << run.process.out;
    std::string trace = ReadFile(g / "pictorama.tst");
    EXPECT_NE(trace.find("Query_string S\r\n"), std::string::npos) << trace;
}

TEST(IsapiLibrary, PostBodyBeyondTheDeliveredBytesIsReadThroughReadClient) {
    GalleryFolder g;
    std::string library = InstallLibrary(g);
    HostRequest r = Request(g.Path(), "/pictorama.cgi", "");
    r.method = "POST";
    r.variables["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    r.bodySize = "200000";
    r.available = "1000";
    HostRun run = RunHost(library, {r});
    ASSERT_EQ(run.process.exitCode, 0) << run.process.out;
    EXPECT_EQ(run.summary["readclient-bytes"], "199000");
    EXPECT_LE(std::stoul(run.summary["readclient-largest"]), 32386u);
}

TEST(IsapiLibrary, LongHostNameIsReadWholeFromARefusingServer) {
    GalleryFolder g;
    std::string library = InstallLibrary(g);
    Picture(g.Path(), "view", 40, 30);
    HostRequest r = Request(g.Path(), "/pictorama.cgi", "");
    std::string host(1500, 'h');
    host += ".example";
    r.variables["HTTP_HOST"] = host;
    r.expect = {"http://" + host + "/"};
    for (const char* mode : {"refuse", "cut"}) {
        HostRun run = RunHost(library, {r}, 1, 1, false, mode);
        EXPECT_EQ(run.process.exitCode, 0) << mode << "\n" << run.process.out;
    }
}

// --- The same pages as standard CGI ------------------------------------------------

class IsapiSameAsCgi : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"autumn", "Beach", "city"}) Picture(g.Path(), name, 64, 48);
        library = InstallLibrary(g);
    }
    // The body the library gives for the query, after the CGI program gave
    // it. The slideshow keeps its place per client address, so each host
    // gets its own address to start at the same picture.
    void Compare(const std::string& query) {
        CgiResponse cgi = g.Get(query, {{"REMOTE_ADDR", "10.0.0.1"}});
        ASSERT_EQ(cgi.process.exitCode, 0);
        HostRequest r = Request(g.Path(), "/" + g.ProgramName(), query);
        r.variables["REMOTE_ADDR"] = "10.0.0.2";
        HostRun run = RunHost(library, {r});
        ASSERT_EQ(run.process.exitCode, 0) << run.process.out;
        ASSERT_EQ(run.responses.size(), 1u);
        EXPECT_TRUE(run.responses[0].starts_with("HTTP/1.0 200 OK\r\ncontent-type: text/html\r\n"));
        std::string body = BodyOf(run.responses[0]);
        // The photo page links the slideshow through the file that runs.
        for (size_t at; (at = body.find("pictorama.so?W")) != std::string::npos;) body.replace(at, 12, "pictorama.cgi");
        EXPECT_NE(cgi.body.find("The autumn"), std::string::npos);
        EXPECT_EQ(body, cgi.body);
    }
    GalleryFolder g;
    std::string library;
};

TEST_F(IsapiSameAsCgi, PhotoPage) { Compare(""); }

// A failed request (the slideshow of a folder without JPEG pictures) is the
// error page with status 500, both in the bytes the client gets and in the
// status the server is given for its own handling and log.
TEST(IsapiErrors, FailedRequestGivesStatus500ToTheClientAndTheServer) {
    GalleryFolder g;
    std::string library = InstallLibrary(g);
    HostRequest failing = Request(g.Path(), "/pictorama.cgi", "W");
    failing.status = 500;
    HostRequest page = Request(g.Path(), "/pictorama.cgi", "");
    page.status = 200;
    HostRun run = RunHost(library, {failing, page});
    ASSERT_EQ(run.process.exitCode, 0) << run.process.out;
    EXPECT_EQ(run.responses.at(0),
              "HTTP/1.0 500 Internal Server Error\r\ncontent-type: text/html\r\n\r\n"
              "<html><body>Unhandled Exception: List index out of bounds (0)</body></html>\r\n");
    EXPECT_TRUE(run.responses.at(1).starts_with("HTTP/1.0 200 OK\r\n")) << run.responses.at(1);
    EXPECT_EQ(run.summary["http-statuses"], "200=1 500=1");
}

TEST_F(IsapiSameAsCgi, Slideshow) { Compare("W"); }

TEST_F(IsapiSameAsCgi, ReportPageGivenTheSameVariables) {
    // The report lists the request variables; the CGI program gets as its
    // whole environment exactly the list the library collected.
    HostRun run = RunHost(library, {Request(g.Path(), "/" + g.ProgramName(), "S")});
    ASSERT_EQ(run.process.exitCode, 0) << run.process.out;
    std::string body = BodyOf(run.responses.at(0));
    std::map<std::string, std::string> env;
    size_t pos = body.find("<p>\r\n");
    ASSERT_NE(pos, std::string::npos) << body;
    pos += 5;
    for (size_t br; (br = body.find("<br>\r\n", pos)) != std::string::npos; pos = br + 6) {
        std::string entry = body.substr(pos, br - pos);
        size_t eq = entry.find('=');
        if (eq == std::string::npos || entry.find('<') != std::string::npos) break;
        env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    ASSERT_EQ(env["QUERY_STRING"], "S");
    ASSERT_EQ(env["ALL_HTTP"], "HTTP_HOST:localhost:8080");
    CgiResponse cgi = g.Run(env);
    ASSERT_EQ(cgi.process.exitCode, 0);
    EXPECT_EQ(body, WithoutSystemVariables(cgi.body));
}

// --- Many requests at once ----------------------------------------------------------

int RequestsPerThread() {
    const char* v = std::getenv("PICTORAMA_ISAPI_REQUESTS_PER_THREAD");
    return v ? std::max(1, std::atoi(v)) : 100;
}

TEST(IsapiConcurrency, EveryPageCarriesTheUrlDirectoryOfItsOwnRequest) {
    GalleryFolder g;
    std::string library = InstallLibrary(g);
    const std::vector<std::string> folders = {"alpha", "beta", "gamma", "delta"};
    for (const auto& f : folders) {
        std::filesystem::create_directory(g / f);
        std::filesystem::permissions(g / f, std::filesystem::perms::all);
        Pictures(g / f, 50);
    }
    std::vector<HostRequest> requests;
    for (size_t i = 0; i < folders.size(); ++i) {
        const std::string& f = folders[i];
        std::string script = "/" + f + "/pictorama.cgi";
        HostRequest photo = Request(g.Path(), script, "");
        photo.expect = {"http://localhost:8080/" + f + "/p00.jpg", "http://localhost:8080/" + f + "/t_p49.jpg",
                        "50 Images Posted"};
        for (const auto& other : folders)
            if (other != f) photo.reject.push_back("http://localhost:8080/" + other + "/");
        requests.push_back(photo);
        HostRequest report = Request(g.Path(), script, "S");
        report.variables["REMOTE_ADDR"] = "10.0.0." + std::to_string(i);
        report.expect = {"SCRIPT_NAME=" + script + "<br>", "QUERY_STRING=S<br>", "REMOTE_ADDR=10.0.0." + std::to_string(i)};
        requests.push_back(report);
        HostRequest slides = Request(g.Path(), script, "W");
        slides.variables["REMOTE_ADDR"] = "10.0.1." + std::to_string(i);
        slides.expect = {"<img src=\"t_SLIDEIMAGE.jpg\">"};
        requests.push_back(slides);
    }
    const int threads = 8;
    int total = threads * RequestsPerThread();
    int rounds = (total + static_cast<int>(requests.size()) - 1) / static_cast<int>(requests.size());
    HostRun run = RunHost(library, requests, threads, rounds, false);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.out << run.process.err.substr(0, 4000);
    EXPECT_EQ(run.summary["served"], std::to_string(rounds * requests.size()));
    EXPECT_EQ(run.summary["incomplete"], "0");
    EXPECT_EQ(run.summary["unexpected"], "0");
    EXPECT_EQ(run.summary["status-errors"], "0");
    EXPECT_TRUE(run.problems.empty()) << run.problems.front();
    for (const auto& f : folders) EXPECT_TRUE(Exists(g / (f + "/t_p49.jpg"))) << f;
}

// --- Loaded for a while only ------------------------------------------------------

int Cycles() {
    const char* v = std::getenv("PICTORAMA_ISAPI_CYCLES");
    return v ? std::max(2, std::atoi(v)) : 60;
}

std::map<std::string, long> Figures(const std::string& line) {
    std::map<std::string, long> figures;
    std::istringstream words(line);
    std::string name;
    long value = 0;
    while (words >> name >> value) figures[name] = value;
    return figures;
}

// A server that loads the library, serves a few requests on several threads
// (a photo page making its thumbnails on the library's thumbnail threads, a
// slideshow, a refused request that is logged) and unloads it, over and over in one
// process: after the first cycle nothing grows, and no thread of the
// library outlives its unload.
TEST(IsapiLibraryLifecycle, LoadServeAndUnloadCyclesLeaveNothingBehind) {
    GalleryFolder g;
    std::string library = InstallLibrary(g);
    Pictures(g.Path(), 6);
    Picture(g.Path(), "slide", 64, 48);
    std::vector<HostRequest> requests;
    HostRequest photo = Request(g.Path(), "/pictorama.cgi", "");
    photo.expect = {"7 Images Posted"};
    requests.push_back(photo);
    requests.push_back(Request(g.Path(), "/pictorama.cgi", "W"));
    HostRequest refused = Request(g.Path(), "/pictorama.cgi", "");
    refused.method = "POST";
    refused.variables["CONTENT_TYPE"] = "multipart/form-data; boundary=x";
    refused.bodySize = "100";
    refused.status = 500;
    requests.push_back(refused);
    HostCycles cycles;
    cycles.cycles = Cycles();
    for (int i = 0; i < 6; ++i) cycles.removed.push_back(g / std::string("t_p0").append(std::to_string(i)).append(".jpg"));
    // glibc's allocator keeps what it has for later on its own (an arena per
    // thread, a threshold for mapped blocks that grows after large frees),
    // which looks like growth over a few cycles: one arena, a fixed
    // threshold. (Other systems ignore the variables.)
    cycles.environment = {{"MALLOC_ARENA_MAX", "1"}, {"MALLOC_MMAP_THRESHOLD_", "131072"}};
    HostRun run = RunHost(library, requests, 3, 2, false, "refuse", cycles);
    ASSERT_EQ(run.process.exitCode, 0) << run.process.out << run.process.err.substr(0, 4000);
    EXPECT_EQ(run.summary["served"], std::to_string(cycles.cycles * 6));
    EXPECT_EQ(run.summary["unexpected"], "0");
    EXPECT_TRUE(run.problems.empty()) << run.problems.front();
    EXPECT_TRUE(Exists(g / "t_p05.jpg"));
    auto before = Figures(run.summary["figures-before"]);
    auto first = Figures(run.summary["figures-first"]);
    auto last = Figures(run.summary["figures-last"]);
    ASSERT_FALSE(last.empty()) << run.process.out;
    // Every thread the library started (the thumbnail threads, the one
    // keeping claims fresh) ended with its cycle (a sanitizer starts one of
    // its own on the way).
    EXPECT_EQ(last["threads"], first["threads"]) << run.process.out;
    EXPECT_LE(last["threads"], before["threads"] + PICTORAMA_SANITIZED) << run.process.out;
    EXPECT_EQ(last["tls-free"], first["tls-free"]) << run.process.out;
    EXPECT_LE(last["handles"], first["handles"] + 2) << run.process.out;
    // A few pages of the allocator's own come and go; a leak of even 16 KiB
    // a cycle would pass this by far. A sanitizer's allocator keeps what is
    // freed for a while on purpose.
    if (!PICTORAMA_SANITIZED) {
        EXPECT_LE(last["private-kib"] - first["private-kib"], 1024) << run.process.out;
    }
}

}  // namespace
