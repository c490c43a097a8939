// A small web server stand-in that loads the gallery library the way the home
// platform's server does: it checks the five exports, asks for the extension
// version, serves requests built from CGI-style variables and a body on N
// threads through the server callbacks, and finally asks the library to
// terminate; or, as a server that loads the library for a while only, does
// all that and unloads it, many times over.
//
// Usage: isapi_host LIBRARY PLAN
// The plan is a text file of lines:
//   threads N              threads serving at once (default 1)
//   rounds N               the request list is served N times (default 1)
//   variables cut|refuse   what a too-small GetServerVariable buffer gets: the
//                          value cut to fit, or a refusal that reports the
//                          size needed (default refuse, as the real server)
//   output DIR             write each raw response to DIR/<n>.txt
//   cycles N               load, serve the requests on fresh threads, ask the
//                          library to terminate and unload it, N times
//                          (default: load once, serve, terminate and keep it
//                          loaded); the summary then has the host's figures
//                          before the first load, after the first cycle and
//                          after the last
//   remove PATH            the file is deleted before each cycle (a thumbnail
//                          the cycle is to make again)
//   request                starts a request; then, until "end":
//     method M, query Q, noquery, pathinfo P, pathtranslated P,
//     var NAME=VALUE       a server variable (\n in VALUE is a line feed);
//                          ALL_HTTP is made from the HTTP_ ones unless given
//     body TEXT, body-file PATH, body-size N (N bytes of 'x'),
//     available N          bytes delivered with the request (default all, at
//                          most 48 KiB)
//     status N             the status the library gives the server must be N
//     expect TEXT          the response must contain TEXT
//     reject TEXT          the response must not contain TEXT
// It prints a summary (see Report) and exits 0 when every response was
// complete and as expected.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ExtensionLibrary.h"
#include "HostFigures.h"
#include "engine/hostings/IsapiInterface.h"

using namespace isapi;

namespace {

struct Request {
    std::string method = "GET";
    std::string query;
    bool hasQuery = true;
    std::string pathInfo, pathTranslated;
    std::map<std::string, std::string> variables;
    std::string body;
    long available = -1;
    DWORD status = 0;  // 0: any
    std::vector<std::string> expect, reject;
};

struct Plan {
    int threads = 1;
    int rounds = 1;
    int cycles = 0;
    bool refuseSmallBuffers = true;
    std::string outputDir;
    std::vector<std::string> removed;
    std::vector<Request> requests;
};

// One request in flight; ConnID points here.
struct Connection {
    const Request* request = nullptr;
    std::string allHttp;
    size_t bodyPosition = 0;  // next body byte ReadClient hands out
    std::string response;
    std::string redirect;
    DWORD largestReadPiece = 0;
    size_t bytesRead = 0;
};

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Plan ReadPlan(const std::string& path) {
    Plan plan;
    std::istringstream lines(ReadAll(path));
    std::string line;
    Request* current = nullptr;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t space = line.find(' ');
        std::string word = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (word.empty() || word[0] == '#') continue;
        if (word == "threads") plan.threads = std::max(1, std::stoi(rest));
        else if (word == "rounds") plan.rounds = std::max(1, std::stoi(rest));
        else if (word == "variables") plan.refuseSmallBuffers = rest != "cut";
        else if (word == "output") plan.outputDir = rest;
        else if (word == "cycles") plan.cycles = std::max(1, std::stoi(rest));
        else if (word == "remove") plan.removed.push_back(rest);
        else if (word == "request") current = &plan.requests.emplace_back();
        else if (word == "end") current = nullptr;
        else if (!current) throw std::runtime_error("outside a request: " + line);
        else if (word == "method") current->method = rest;
        else if (word == "query") current->query = rest, current->hasQuery = true;
        else if (word == "noquery") current->hasQuery = false;
        else if (word == "pathinfo") current->pathInfo = rest;
        else if (word == "pathtranslated") current->pathTranslated = rest;
        else if (word == "var") {
            size_t eq = rest.find('=');
            current->variables[rest.substr(0, eq)] = eq == std::string::npos ? "" : Unescape(rest.substr(eq + 1));
        } else if (word == "body") current->body = rest;
        else if (word == "body-file") current->body = ReadAll(rest);
        else if (word == "body-size") current->body.assign(std::stoul(rest), 'x');
        else if (word == "available") current->available = std::stol(rest);
        else if (word == "status") current->status = static_cast<DWORD>(std::stoul(rest));
        else if (word == "expect") current->expect.push_back(Unescape(rest));
        else if (word == "reject") current->reject.push_back(Unescape(rest));
        else throw std::runtime_error("unknown plan line: " + line);
    }
    return plan;
}

Connection& Conn(HCONN c) { return *static_cast<Connection*>(c); }

bool LookUp(Connection& c, const std::string& name, std::string& value) {
    if (name == "ALL_HTTP") {
        value = c.allHttp;
        return true;
    }
    auto it = c.request->variables.find(name);
    if (it == c.request->variables.end()) return false;
    value = it->second;
    return true;
}

bool g_refuse = true;

BOOL GetServerVariable(HCONN hConn, LPSTR name, LPVOID buffer, LPDWORD size) {
    std::string value;
    if (!LookUp(Conn(hConn), name, value)) {
        *size = 0;
        return False;
    }
    DWORD needed = static_cast<DWORD>(value.size() + 1);
    if (needed > *size) {
        if (g_refuse || *size == 0) {
            *size = needed;
            return False;
        }
        std::memcpy(buffer, value.data(), *size - 1);
        static_cast<char*>(buffer)[*size - 1] = '\0';
        return True;
    }
    std::memcpy(buffer, value.c_str(), needed);
    *size = needed;
    return True;
}

BOOL WriteClient(HCONN hConn, LPVOID buffer, LPDWORD bytes, DWORD) {
    Conn(hConn).response.append(static_cast<const char*>(buffer), *bytes);
    return True;
}

BOOL ReadClient(HCONN hConn, LPVOID buffer, LPDWORD size) {
    Connection& c = Conn(hConn);
    c.largestReadPiece = std::max(c.largestReadPiece, *size);
    size_t n = std::min<size_t>(*size, c.request->body.size() - c.bodyPosition);
    std::memcpy(buffer, c.request->body.data() + c.bodyPosition, n);
    c.bodyPosition += n;
    c.bytesRead += n;
    *size = static_cast<DWORD>(n);
    return True;
}

BOOL ServerSupportFunction(HCONN hConn, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD) {
    if (request != HSE_REQ_SEND_URL_REDIRECT_RESP) return False;
    Conn(hConn).redirect.assign(static_cast<const char*>(buffer), size ? *size : 0);
    return True;
}

struct Totals {
    std::mutex lock;
    long served = 0, incomplete = 0, unexpected = 0, statusErrors = 0, redirects = 0;
    std::map<DWORD, long> httpStatuses;  // as the library left them in the control block
    DWORD largestReadPiece = 0;
    size_t bytesRead = 0, bytesWritten = 0;
    std::vector<std::string> problems;
    void Problem(const std::string& text) {
        if (problems.size() < 20) problems.push_back(text);
    }
};

// Header block ended by an empty line, and a body as long as the
// content-length line says.
bool Complete(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::string head = response.substr(0, end + 2);
    size_t at = head.find("content-length: ");
    if (at == std::string::npos) return true;
    size_t bodySize = response.size() - end - 4;
    char* stop = nullptr;
    unsigned long announced = std::strtoul(head.c_str() + at + 16, &stop, 10);
    return stop && *stop == '\r' && announced == bodySize;
}

void Serve(HttpExtensionProcProc proc, const Plan& plan, long index, Totals& totals) {
    const Request& r = plan.requests[static_cast<size_t>(index) % plan.requests.size()];
    Connection conn;
    conn.request = &r;
    for (auto& [name, value] : r.variables)
        if (name.rfind("HTTP_", 0) == 0) conn.allHttp += name + ":" + value + "\n";
    if (auto it = r.variables.find("ALL_HTTP"); it != r.variables.end()) conn.allHttp = it->second;

    std::string method = r.method, query = r.query, pathInfo = r.pathInfo, pathTranslated = r.pathTranslated;
    std::string contentType = r.variables.count("CONTENT_TYPE") ? r.variables.at("CONTENT_TYPE") : "";
    size_t available = r.available >= 0 ? std::min<size_t>(r.available, r.body.size())
                                        : std::min<size_t>(r.body.size(), 48 * 1024);
    conn.bodyPosition = available;
    std::string delivered = r.body.substr(0, available);

    EXTENSION_CONTROL_BLOCK ecb{};
    ecb.cbSize = sizeof ecb;
    ecb.dwVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
    ecb.ConnID = &conn;
    ecb.dwHttpStatusCode = 200;
    ecb.lpszMethod = method.data();
    ecb.lpszQueryString = r.hasQuery ? query.data() : nullptr;
    ecb.lpszPathInfo = pathInfo.data();
    ecb.lpszPathTranslated = pathTranslated.data();
    ecb.cbTotalBytes = static_cast<DWORD>(r.body.size());
    ecb.cbAvailable = static_cast<DWORD>(available);
    ecb.lpbData = reinterpret_cast<LPBYTE>(delivered.data());
    ecb.lpszContentType = contentType.data();
    ecb.GetServerVariable = &GetServerVariable;
    ecb.WriteClient = &WriteClient;
    ecb.ReadClient = &ReadClient;
    ecb.ServerSupportFunction = &ServerSupportFunction;

    DWORD status = proc(&ecb);

    bool complete = !conn.redirect.empty() || Complete(conn.response);
    std::vector<std::string> missing;
    for (const auto& e : r.expect)
        if (conn.response.find(e) == std::string::npos && conn.redirect.find(e) == std::string::npos)
            missing.push_back("missing \"" + e + "\"");
    for (const auto& e : r.reject)
        if (conn.response.find(e) != std::string::npos) missing.push_back("has \"" + e + "\"");
    if (r.status && ecb.dwHttpStatusCode != r.status)
        missing.push_back("status " + std::to_string(ecb.dwHttpStatusCode) + " given to the server");
    if (!plan.outputDir.empty()) {
        std::ofstream out(plan.outputDir + "/" + std::to_string(index) + ".txt", std::ios::binary);
        if (!conn.redirect.empty()) out << "REDIRECT " << conn.redirect << "\n";
        out << conn.response;
    }
    std::lock_guard<std::mutex> guard(totals.lock);
    ++totals.served;
    if (status != HSE_STATUS_SUCCESS) {
        ++totals.statusErrors;
        totals.Problem("request " + std::to_string(index) + ": status " + std::to_string(status));
    }
    if (!complete) {
        ++totals.incomplete;
        totals.Problem("request " + std::to_string(index) + ": incomplete response of " +
                       std::to_string(conn.response.size()) + " bytes");
    }
    if (!missing.empty()) {
        ++totals.unexpected;
        totals.Problem("request " + std::to_string(index) + ": " + missing.front());
    }
    if (!conn.redirect.empty()) ++totals.redirects;
    ++totals.httpStatuses[ecb.dwHttpStatusCode];
    totals.largestReadPiece = std::max(totals.largestReadPiece, conn.largestReadPiece);
    totals.bytesRead += conn.bytesRead;
    totals.bytesWritten += conn.response.size();
}

template <typename T>
T Export(void* library, const char* name, bool& ok) {
    void* p = FindExtensionExport(library, name);
    if (!p) {
        std::printf("missing export %s\n", name);
        ok = false;
    }
    return reinterpret_cast<T>(p);
}

BOOL FilterWriteClient(HTTP_FILTER_CONTEXT*, LPVOID, LPDWORD, DWORD) { return True; }

// The five exports of a loaded library.
struct Exports {
    GetExtensionVersionProc getExtensionVersion = nullptr;
    HttpExtensionProcProc httpExtensionProc = nullptr;
    TerminateExtensionProc terminateExtension = nullptr;
    GetFilterVersionProc getFilterVersion = nullptr;
    HttpFilterProcProc httpFilterProc = nullptr;
};

bool FindExports(void* library, Exports& e) {
    bool ok = true;
    e.getExtensionVersion = Export<GetExtensionVersionProc>(library, "GetExtensionVersion", ok);
    e.httpExtensionProc = Export<HttpExtensionProcProc>(library, "HttpExtensionProc", ok);
    e.terminateExtension = Export<TerminateExtensionProc>(library, "TerminateExtension", ok);
    e.getFilterVersion = Export<GetFilterVersionProc>(library, "GetFilterVersion", ok);
    e.httpFilterProc = Export<HttpFilterProcProc>(library, "HttpFilterProc", ok);
    return ok;
}

// The handshake a server makes after loading the library: false when the
// library refuses to serve. Says what it got when report is set.
bool Handshake(const Exports& e, bool report) {
    HSE_VERSION_INFO version{};
    std::memset(version.lpszExtensionDesc, 'z', sizeof version.lpszExtensionDesc);
    BOOL loaded = e.getExtensionVersion(&version);
    version.lpszExtensionDesc[sizeof version.lpszExtensionDesc - 1] = '\0';
    if (report)
        std::printf("GetExtensionVersion %d %08x \"%s\"\n", loaded, version.dwExtensionVersion,
                    version.lpszExtensionDesc);
    if (!loaded) return false;

    HTTP_FILTER_VERSION filterVersion{};
    filterVersion.dwServerFilterVersion = HTTP_FILTER_REVISION;
    filterVersion.dwFlags = 0xffffffff;
    BOOL filterLoaded = e.getFilterVersion(&filterVersion);
    HTTP_FILTER_CONTEXT filterContext{};
    filterContext.cbSize = sizeof filterContext;
    filterContext.Revision = HTTP_FILTER_REVISION;
    filterContext.WriteClient = &FilterWriteClient;
    DWORD filterStatus = e.httpFilterProc(&filterContext, 0, nullptr);
    if (report) {
        std::printf("GetFilterVersion %d %08x flags %x\n", filterLoaded, filterVersion.dwFilterVersion,
                    filterVersion.dwFlags);
        std::printf("HttpFilterProc %08x\n", filterStatus);
    }
    return true;
}

// Serves the plan's requests, each round of them, on the plan's threads.
void ServeAll(const Exports& e, const Plan& plan, Totals& totals) {
    long total = static_cast<long>(plan.requests.size()) * plan.rounds;
    std::atomic<long> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < plan.threads; ++t)
        threads.emplace_back([&] {
            for (long i = next++; i < total; i = next++) Serve(e.httpExtensionProc, plan, i, totals);
        });
    for (auto& t : threads) t.join();
}

void PrintFigures(const char* when, const HostFigures& f) {
    std::printf("figures-%s threads %ld tls-free %ld handles %ld rss-kib %ld private-kib %ld\n", when, f.threads,
                f.freeTlsSlots, f.handles, f.residentKiB, f.privateKiB);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LIBRARY PLAN\n", argv[0]);
        return 2;
    }
    Plan plan;
    try {
        plan = ReadPlan(argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "plan: %s\n", e.what());
        return 2;
    }
    g_refuse = plan.refuseSmallBuffers;
    const bool cycling = plan.cycles > 0;
    const int cycles = cycling ? plan.cycles : 1;
    if (cycling) PrintFigures("before", MeasureHost());

    Totals totals;
    BOOL terminated = False;
    int stillLoaded = 0;
    auto started = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        for (const auto& path : plan.removed) std::remove(path.c_str());
        std::string loadError;
        void* library = LoadExtensionLibrary(argv[1], loadError);
        if (!library) {
            std::printf("cannot load: %s\n", loadError.c_str());
            return 2;
        }
        Exports exports;
        if (!FindExports(library, exports)) return 2;
        if (cycle == 0) std::printf("exports ok\n");
        if (!Handshake(exports, cycle == 0)) return 1;
        ServeAll(exports, plan, totals);
        terminated = exports.terminateExtension(HSE_TERM_MUST_UNLOAD);
        if (!cycling) break;  // the library stays loaded: the server unloads it only with the process
        if (!UnloadExtensionLibrary(library)) {
            std::printf("cannot unload\n");
            return 1;
        }
        if (ExtensionLibraryStillLoaded(argv[1])) ++stillLoaded;
        if (cycle == 0) PrintFigures("first", MeasureHost());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("served %ld\n", totals.served);
    std::printf("incomplete %ld\n", totals.incomplete);
    std::printf("unexpected %ld\n", totals.unexpected);
    std::printf("status-errors %ld\n", totals.statusErrors);
    std::printf("redirects %ld\n", totals.redirects);
    std::printf("readclient-largest %u\n", totals.largestReadPiece);
    std::printf("readclient-bytes %zu\n", totals.bytesRead);
    std::printf("bytes-written %zu\n", totals.bytesWritten);
    std::printf("http-statuses");
    for (const auto& [status, count] : totals.httpStatuses) std::printf(" %u=%ld", status, count);
    std::printf("\n");
    std::printf("seconds %.3f\n", seconds);
    std::printf("requests-per-second %.1f\n", seconds > 0 ? totals.served / seconds : 0.0);
    for (const auto& p : totals.problems) std::printf("problem %s\n", p.c_str());
    std::printf("TerminateExtension %d\n", terminated);
    if (cycling) {
        std::printf("cycles %d\n", cycles);
        std::printf("still-loaded %d\n", stillLoaded);
        PrintFigures("last", MeasureHost());
    }
    std::fflush(stdout);
    bool clean = totals.incomplete == 0 && totals.unexpected == 0 && totals.statusErrors == 0;
    return clean ? 0 : 1;
}
