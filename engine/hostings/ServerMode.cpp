// The CGI server mode: the server loop that serves queued requests, and the
// client side that queues a request and copies the answer to its output.
#include "engine/hostings/ServerMode.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <unordered_set>

#include "engine/HttpUtils.h"
#include "engine/Log.h"
#include "engine/RequestLifecycle.h"
#include "engine/StringList.h"
#include "engine/hostings/HostingChoice.h"
#include "engine/hostings/HttpCgiEngine.h"
#include "engine/hostings/ServerExchange.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/FileWaiter.h"
#include "platform/Path.h"
#include "platform/PresenceLock.h"
#include "platform/ProcessDeadline.h"
#include "platform/Process.h"
#include "platform/StopSignals.h"
#include "platform/Text.h"

namespace {

constexpr double FifteenMinutes = 15 * 60;
// How often the waiting sides look even when no file event woke them.
constexpr int PollMilliseconds = 50;
constexpr int CopyPiece = http::PieceBytes;
// How long a client waits for room in a full queue before it gives up.
constexpr double QueueRoomWaitSeconds = 3;

// Files of the exchange folder that begin with the prefix, as full paths.
std::vector<std::string> ExchangeFiles(const std::string& mask) {
    std::vector<std::string> result;
    std::string folder = platform::FolderPart(mask);
    for (const auto& entry : platform::FindFiles(mask))
        if (!entry.directory) result.push_back(folder + entry.name);
    return result;
}

void DeleteAllExchangeFiles() { DeleteOldFiles(ServerFilePrefix() + "*", platform::NowSeconds() + 86400); }

// Deletion as DeleteOldFiles does it: up to 11 tries, 50 ms apart.
bool RenameWithRetries(const std::string& from, const std::string& to, int tries, int pauseMilliseconds) {
    for (int i = 0; i < tries; ++i) {
        if (platform::RenameFile(from, to)) return true;
        if (!ExchangeFileExists(from)) return false;
        if (i + 1 < tries) platform::SleepMilliseconds(pauseMilliseconds);
    }
    return false;
}

uint32_t RandomBelow(uint32_t limit) {
    static std::mt19937 generator(platform::RandomSeed());
    return std::uniform_int_distribution<uint32_t>(0, limit - 1)(generator);
}

// ---------------------------------------------------------------------------
// Client

// The request-writing watchdog: each piece of the request must be written
// within its deadline, or the process ends (a stalled web server). A process
// timer does what a watching thread would, without starting one per request.
class RequestWatchdog {
public:
    ~RequestWatchdog() { Disarm(); }
    void Arm(double seconds) { platform::SetProcessDeadline(seconds); }
    void Disarm() { platform::SetProcessDeadline(0); }
};

void WriteAll(Stream& out, const std::string& bytes) { out.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size())); }

// Writes the request file under a name the server does not look for, and
// renames it into the queue once complete: the server never reads half a request.
void WriteRequestFile(const std::string& base, const StringList& variables, Stream* input) {
    const std::string writing = base + "_new";
    try {
        FileStream request(writing, platform::OpenMode::CreateNew);
        RequestWatchdog watchdog;
        for (const auto& entry : variables.Items()) {
            watchdog.Arm(ServerRequestWriteSeconds);
            WriteAll(request, entry + "\r\n");
        }
        WriteAll(request, "\r\n");
        int32_t length = 0;
        if (!text::TryStrToInt(variables.Value("CONTENT_LENGTH"), length) || length < 0) length = 0;
        char piece[CopyPiece];
        int64_t left = length;
        // The body comes from the web server; a stalled one ends the client
        // like a stalled variable line would.
        while (input && left > 0) {
            watchdog.Arm(ServerRequestWriteSeconds);
            int64_t n = input->Read(piece, std::min<int64_t>(left, sizeof piece));
            if (n <= 0) break;
            request.WriteBuffer(piece, n);
            left -= n;
        }
        watchdog.Disarm();
    } catch (...) {
        platform::DeleteFile(writing);
        throw;
    }
    if (!platform::RenameFile(writing, base + "_REQ")) {
        platform::DeleteFile(writing);
        throw Exception("Cannot create file " + base + "_REQ");
    }
}

void CopyResponse(const std::string& path, Stream& output) {
    int error = 0;
    platform::File response = platform::File::TryOpen(path, platform::OpenMode::Read, error);
    if (!response.IsOpen()) {
        platform::SleepMilliseconds(500);
        response = platform::File::Open(path, platform::OpenMode::Read);
    }
    char piece[CopyPiece];
    for (;;) {
        int64_t n = response.Read(piece, sizeof piece);
        if (n <= 0) break;
        output.WriteBuffer(piece, n);
    }
}

// ---------------------------------------------------------------------------
// Server

std::atomic<bool> g_tickStarted{false};

// The heartbeat: renews the marker's time stamp; ends the program when the
// marker is gone (someone asked the server to stop while it was busy).
void StartServerTickThread() {
    if (g_tickStarted.exchange(true)) return;
    std::thread([] {
        for (;;) {
            platform::SleepMilliseconds(5000);
            std::string marker = ServerMarkerFile();
            if (!ExchangeFileExists(marker)) {
                FinalizeServerMode();
                platform::EndProcessNow(0);
            }
            double now = platform::NowSeconds();
            platform::SetFileModificationTime(marker, now);
            // Keeps the presence file out of the sweep of old exchange files.
            platform::SetFileModificationTime(ServerPresenceFile(), now);
        }
    }).detach();
}

// How long a starting server retries its presence lock: long enough to pass a
// client's momentary look at it, far too short to outlast a live holder.
constexpr int PresenceRetryMilliseconds = 250;

// Another instance holds the presence lock: this one says so and ends without
// touching the exchange folder (the other's marker and queued requests stay).
[[noreturn]] void EndAsSecondServer() {
    const std::string message = "Server mode - A server instance is already running";
    WriteLog("Server loop: " + message);
    try {
        FileStream console(platform::File::Borrow(2));
        WriteAll(console, message + "\n");
    } catch (...) {
    }
    platform::EndProcessNow(0);
}

void ServerStart(platform::PresenceLock& presence) {
    std::string folder = ServerWorkDirectory();
    if (!platform::DirectoryExists(folder)) platform::CreateDirectory(folder);
    // The lock comes before any clean-up: two instances starting together
    // must not delete each other's files and then both serve.
    if (!presence.Acquire(ServerPresenceFile(), PresenceRetryMilliseconds)) EndAsSecondServer();
    SetServerProcess(true);
    std::string marker = ServerMarkerFile();
    bool markerExisted = ExchangeFileExists(marker);
    // Everything a former instance left, except the file this one now holds
    // its lock on (without the file, nobody could see the lock).
    const std::string presenceFile = ServerPresenceFile();
    for (const auto& path : ExchangeFiles(ServerFilePrefix() + "*"))
        if (path != presenceFile) DeleteWithRetries(path);
    if (markerExisted) platform::SleepMilliseconds(500);
    // Present before the marker appears: clients take a marker without a
    // present server for one that died.
    platform::File::Open(marker, platform::OpenMode::Create).Close();
    platform::SetFileModificationTime(marker, platform::NowSeconds());
}

}  // namespace

// ---------------------------------------------------------------------------

bool ReadRequestHead(Stream& request, std::vector<std::string>& variables) {
    variables.clear();
    std::string head;
    char piece[512];
    size_t end = std::string::npos;
    for (;;) {
        int64_t n = request.Read(piece, sizeof piece);
        if (n <= 0) break;
        size_t from = head.size() >= 3 ? head.size() - 3 : 0;
        head.append(piece, static_cast<size_t>(n));
        end = head.find("\r\n\r\n", from);
        if (end != std::string::npos) break;
        if (head.size() > MaxRequestHeadBytes) break;
    }
    if (end == std::string::npos || end == 0 || end > MaxRequestHeadBytes) return false;
    if (request.Seek(static_cast<int64_t>(end + 4), 0) < 0) return false;
    std::string_view lines = std::string_view(head).substr(0, end);
    for (size_t start = 0;;) {
        size_t stop = lines.find("\r\n", start);
        if (stop == std::string_view::npos) {
            variables.emplace_back(lines.substr(start));
            break;
        }
        variables.emplace_back(lines.substr(start, stop - start));
        start = stop + 2;
    }
    return true;
}

std::string RequestVariablesFault(const std::vector<std::string>& entries) {
    if (entries.empty()) return "no variables";
    size_t headBytes = 0;
    std::unordered_set<std::string> names;
    for (const auto& entry : entries) {
        if (entry.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            return "line break or zero byte in a variable";
        size_t eq = entry.find('=');
        if (eq == std::string::npos) return "variable without \"=\"";
        std::string name = text::UpperCase(entry.substr(0, eq));
        for (char& c : name)
            if (c == '-' || c == ' ') c = '_';
        if (!names.insert(std::move(name)).second) return "variable named twice";
        headBytes += entry.size() + 2;
        if (headBytes - 2 > MaxRequestHeadBytes) return "variables too long";
    }
    return {};
}

void ServeQueuedRequest(THttpCGIEngine* engine, const std::string& base) {
    try {
        auto input = std::make_unique<FileStream>(base + "cnf", platform::OpenMode::Read);
        std::vector<std::string> lines;
        // Without its empty line the request is incomplete: no answer, and the
        // file stays for the sweep.
        if (!ReadRequestHead(*input, lines)) return;
        // A head the client would never write (a repeated name, a line
        // without "=", a stray line break) is refused the same way, and said.
        std::string fault = RequestVariablesFault(lines);
        if (!fault.empty()) {
            WriteLog("Server loop: Request file refused (" + fault + ")");
            return;
        }
        auto variables = std::make_unique<StringList>(false);
        for (auto& line : lines) variables->Add(std::move(line));
        platform::File::Open(base + "ind", platform::OpenMode::Create).Close();
        auto output = std::make_unique<FileStream>(base + "ind", platform::OpenMode::ReadWrite);
        auto finish = [&] {
            RenameWithRetries(base + "ind", base + "rsp", 10, 20);
            platform::DeleteFile(base + "cnf");
        };
        try {
            engine->ServeRequest(input.release(), output.release(), variables.release());
        } catch (...) {
            finish();
            throw;
        }
        finish();
    } catch (const std::exception& error) {
        WriteLog("Server loop: " + std::string(error.what()));
        platform::DeleteFile(ServerMarkerFile());
    }
}

void RunServerLoop(THttpCGIEngine* engine) {
    platform::CatchStopSignals();
    platform::PresenceLock presence;
    try {
        // The presence lock stands for the server's window: clients watch it
        // to notice a server that died without cleaning up.
        ServerStart(presence);
        StartServerTickThread();
        const std::string prefix = ServerFilePrefix();
        const std::string folder = ServerWorkDirectory();
        platform::FileWaiter waiter(folder);
        for (;;) {
            if (!ExchangeFileExists(ServerMarkerFile())) break;
            if (platform::StopRequested()) break;
            std::vector<std::string> queued = ExchangeFiles(prefix + "*_req");
            if (queued.empty()) {
                waiter.Wait(PollMilliseconds);
                continue;
            }
            const std::string& request = queued.front();
            std::string base = request.substr(0, request.size() - 3);
            // A request whose client gave up meanwhile is simply gone.
            if (!RenameWithRetries(request, base + "cnf", 10, 50) && !ExchangeFileExists(request)) continue;
            ServeQueuedRequest(engine, base);
            DeleteOldFiles(folder + "/*.*_*", platform::NowSeconds() - FifteenMinutes);
        }
        if (engine->OnLastExecRequest()) engine->OnLastExecRequest()(engine);
    } catch (const std::exception& error) {
        WriteLog("Server loop: " + std::string(error.what()));
    }
    DeleteAllExchangeFiles();
    presence.Release();
    TerminateProcessRoutine();
    platform::EndProcessNow(0);
}

void ForwardRequestToServer(Stream* input, Stream* output, StringList* variables) {
    std::unique_ptr<Stream> in(input);
    std::unique_ptr<Stream> out(output);
    std::unique_ptr<StringList> list(variables ? variables : new StringList(false));
    platform::CatchStopSignals();
    std::string base;
    try {
        const std::string presenceFile = ServerPresenceFile();
        const bool serverWasPresent = platform::IsPresent(presenceFile);
        const std::string prefix = ServerFilePrefix();
        const std::string folder = ServerWorkDirectory();

        std::string address = list->Value("REMOTE_ADDR");
        if (address.empty()) address = list->Value("REMOTE_ADDRESS");
        do {
            base = RequestBaseName(prefix, address, RandomBelow(0x0FFFFFFF));
        } while (!platform::FindFiles(base + "*").empty());

        // Watching starts before the request is queued, so that the answer
        // cannot arrive unnoticed.
        platform::FileWaiter waiter(folder);
        // A burst of requests fills the queue for a moment only: wait a
        // little for room before refusing; a queue that does not drain is
        // refused.
        const double queueFullSince = platform::MonotonicSeconds();
        for (;;) {
            int exchangeFiles = 0;
            for (const auto& path : ExchangeFiles(prefix + "*"))
                if (path != presenceFile) ++exchangeFiles;
            if (exchangeFiles - 1 < MaxServerClients) break;
            if (platform::MonotonicSeconds() - queueFullSince >= QueueRoomWaitSeconds || platform::StopRequested())
                throw Exception("Server mode - Too many clients");
            waiter.Wait(PollMilliseconds);
        }
        WriteRequestFile(base, *list, in.get());
        list.reset();
        in.reset();

        const std::string response = base + "_rsp";
        const std::string marker = ServerMarkerFile();
        const double start = platform::MonotonicSeconds();
        bool timedOut = false;
        for (;;) {
            if (ExchangeFileExists(response) || !ExchangeFileExists(marker)) break;
            if (platform::MonotonicSeconds() - start > ServerResponseWaitSeconds) {
                timedOut = true;
                break;
            }
            if (serverWasPresent && !platform::IsPresent(presenceFile)) break;
            if (platform::StopRequested()) break;
            waiter.Wait(PollMilliseconds);
        }
        if ((serverWasPresent && !platform::IsPresent(presenceFile)) || timedOut) {
            // The server is dead or hung: clear the way for a new one.
            DeleteAllExchangeFiles();
        } else if (ExchangeFileExists(response) && out) {
            try {
                CopyResponse(response, *out);
            } catch (const std::exception& error) {
                WriteLog(error.what());
            }
            out.reset();
        }
        platform::DeleteFile(response);
        DeleteOldFiles(folder + "/*.*_*", platform::NowSeconds() - FifteenMinutes);
    } catch (const std::exception& error) {
        WriteLog(error.what());
    }
    platform::EndProcessNow(0);
}

void FinalizeServerMode() {
    if (!IsServerLaunch()) return;
    DeleteAllExchangeFiles();
    DeleteOldFiles(http::ModulePath() + "_*", platform::NowSeconds() + 86400);
}
