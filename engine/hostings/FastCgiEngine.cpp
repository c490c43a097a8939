#include "engine/hostings/FastCgiEngine.h"

#include <fcgiapp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "engine/Log.h"
#include "engine/StringList.h"
#include "engine/hostings/FastCgiConnections.h"
#include "engine/hostings/FastCgiLibraryIo.h"
#include "engine/Watchdog.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/ListeningSocket.h"
#include "platform/Processors.h"
#include "platform/StopSignals.h"
#include "platform/Text.h"
#include "platform/ThreadSignals.h"

namespace {

// Connections an opened address lets wait before the pool takes them.
constexpr int ListenBacklog = 128;
// What the library is given as its listening socket: none, since every
// connection comes from FastCgiConnections.
constexpr int NoListeningSocket = -1;

// The answer to a request whose program file is not there.
const char* const NotFoundResponse =
    "Status: 404 Not Found\r\ncontent-type: text/html\r\ncontent-length: 37\r\n\r\n"
    "<html><body>Not Found</body></html>\r\n";

// The request's body and response over libfcgi's streams.
class FastCgiStream : public Stream {
public:
    FastCgiStream(FCGX_Stream* in, FCGX_Stream* out) : in_(in), out_(out) {}
    int64_t Read(void* buffer, int64_t count) override {
        if (count <= 0) return 0;
        int piece = count > INT32_MAX ? INT32_MAX : static_cast<int>(count);
        int n = FCGX_GetStr(static_cast<char*>(buffer), piece, in_);
        return n > 0 ? n : -1;
    }
    int64_t Write(const void* buffer, int64_t count) override {
        if (count <= 0) return 0;
        if (count > INT32_MAX) return -1;
        int n = FCGX_PutStr(static_cast<const char*>(buffer), static_cast<int>(count), out_);
        return n < 0 ? -1 : n;
    }
    int64_t Seek(int64_t, int) override { return 0; }
    int64_t Size() override { return 0; }

private:
    FCGX_Stream* in_;
    FCGX_Stream* out_;
};

// The request's parameters, as CGI's environment would hold them: the role
// the protocol adds is no request variable.
StringList* RequestVariables(const FCGX_Request& request) {
    auto* list = new StringList(true);
    for (char** entry = request.envp; entry && *entry; ++entry)
        if (!text::StartsWith(*entry, "FCGI_ROLE=")) list->Add(*entry);
    return list;
}

// One accepted request, served in the thread's context; the request's
// program file is the thread's only while it is served.
void ServeAccepted(TFastCgiEngine* engine, FCGX_Request& request) {
    try {
        std::unique_ptr<StringList> variables(RequestVariables(request));
        std::string programFile = RequestProgramFile(*variables);
        // A folder is a gallery only where the site owner put the program (as
        // under CGI, where nothing else could run): a web server that passes
        // every *.cgi URL on must not make any folder of the site one, and a
        // request naming no program file is for no folder at all (not the
        // process's own).
        if (programFile.empty() || !platform::FileExists(programFile)) {
            FCGX_PutS(NotFoundResponse, request.out);
            FCGX_Finish_r(&request);
            return;
        }
        platform::SetThreadModulePath(programFile);
        auto* stream = new FastCgiStream(request.in, request.out);
        // The lifecycle owns the stream and the variables from here.
        engine->ExecuteRequest(stream, stream, variables.release());
    } catch (const std::exception& error) {
        WriteLog(error.what());
    } catch (...) {
        WriteLog("Unknown error in a FastCGI request");
    }
    platform::SetThreadModulePath("");
    FCGX_Finish_r(&request);
}

// Serves the request that has arrived on the connection, in the thread's
// context; true when the connection may carry another request.
bool ServeArrived(TFastCgiEngine* engine, FCGX_Request& request, FastCgiConnection& connection) {
    LibraryServesConnection reads(connection.fd, connection.arrival);
    request.ipcFd = connection.fd;
    // The library finishes the request it last read before it reads
    // another, and closes that one's connection unless it was kept: this
    // connection is to be read, not closed.
    request.keepConnection = 1;
    bool accepted = FCGX_Accept_r(&request) >= 0;
    if (accepted) ServeAccepted(engine, request);
    request.ipcFd = -1;
    return accepted && !reads.CloseWanted();
}

// A thread of the pool: the request of each connection FastCgiConnections
// hands it; a connection the web server keeps goes back to wait.
void ServeConnections(TFastCgiEngine* engine, FastCgiConnections& connections) {
    FCGX_Request request;
    // The library never accepts a connection itself here.
    if (FCGX_InitRequest(&request, NoListeningSocket, 0) != 0) return;
    while (std::unique_ptr<FastCgiConnection> connection = connections.Next()) {
        while (connection) {
            bool keep = ServeArrived(engine, request, *connection);
            connection = connections.Served(std::move(connection), keep);
        }
    }
    FCGX_Free(&request, 1);
}

// The most of a body the hosting waits for: what the engine keeps of one,
// within the hosting's own bound.
uint32_t WaitedBodyBytes(int32_t keptInputLimit) {
    if (keptInputLimit < 0) return MaxFastCgiWaitedBodyBytes;
    return std::min(static_cast<uint32_t>(keptInputLimit), MaxFastCgiWaitedBodyBytes);
}

bool ParseThreads(const std::string& text, int& threads) {
    int n = 0;
    if (!text::TryStrToInt(text::Trim(text), n) || n < 1 || n > MaxFastCgiThreads) return false;
    threads = n;
    return true;
}

}  // namespace

FastCgiSettings ReadFastCgiSettings(const std::vector<std::string>& arguments, const std::string& threadsVariable,
                                    int defaultThreads) {
    FastCgiSettings settings;
    settings.threads = defaultThreads < 1 ? 1 : (defaultThreads > MaxFastCgiThreads ? MaxFastCgiThreads : defaultThreads);
    if (!threadsVariable.empty() && !ParseThreads(threadsVariable, settings.threads))
        settings.error = "PICTORAMA_FASTCGI_THREADS must be a number from 1 to " + std::to_string(MaxFastCgiThreads);
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        bool hasValue = i + 1 < arguments.size();
        if (word == "--fastcgi" && hasValue && !arguments[i + 1].empty()) {
            settings.address = arguments[++i];
            std::string why;
            if (!platform::IsListeningAddress(settings.address, why))
                settings.error = "--fastcgi " + settings.address + ": " + why;
        } else if (word == "--threads" && hasValue) {
            if (!ParseThreads(arguments[++i], settings.threads))
                settings.error = "--threads takes a number from 1 to " + std::to_string(MaxFastCgiThreads);
        } else {
            settings.error = "Usage: pictorama.cgi --fastcgi host:port|[IPv6]:port|socket-path [--threads N]";
        }
    }
    return settings;
}

std::string RequestProgramFile(const StringList& variables) {
    std::string file = variables.Value("SCRIPT_FILENAME");
    // Apache's proxy names the backend before the path.
    if (text::StartsWith(file, "proxy:")) {
        size_t scheme = file.find("://");
        size_t path = scheme == std::string::npos ? std::string::npos : file.find('/', scheme + 3);
        file = path == std::string::npos ? std::string() : file.substr(path);
    }
    if (!file.empty() && file[0] == '/') return file;
    std::string root = variables.Value("DOCUMENT_ROOT");
    std::string script = variables.Value("SCRIPT_NAME");
    if (root.empty() || script.empty()) return {};
    if (root.back() == '/') root.pop_back();
    return script[0] == '/' ? root + script : root + "/" + script;
}

bool ServeWaitingConnection(TFastCgiEngine* engine, int listenSocket) {
    if (FCGX_Init() != 0) return false;
    std::string peer;
    bool outOfDescriptors = false;
    int fd = platform::AcceptConnection(listenSocket, peer, outOfDescriptors);
    if (fd < 0) return false;
    FastCgiConnection connection(fd, WaitedBodyBytes(engine->KeptInputLimit()));
    // Its peer has sent what it will: the request arrives within a moment.
    while (connection.arrival.ReadFrom(fd, std::chrono::steady_clock::now()) ==
               FastCgiRequestArrival::Progress::Waiting &&
           platform::WaitUntilReady(fd, false, 1000)) {
    }
    bool served = false;
    FCGX_Request request;
    if (connection.arrival.State() == FastCgiRequestArrival::Progress::Ready &&
        FCGX_InitRequest(&request, NoListeningSocket, 0) == 0) {
        served = ServeArrived(engine, request, connection);
        FCGX_Free(&request, 1);
    }
    platform::CloseDescriptor(fd);
    return served;
}

void TFastCgiEngine::Terminate() {
    if (Context().output) FinishRequest();
}

void TFastCgiEngine::ServeRequest(Stream* input, Stream* output, StringList* variables) {
    delete variables;
    if (input != output) delete input;
    delete output;
    // A resident process has no input watchdog: one slow request must not
    // end the others.
    StopWatchdog();
    // Requests in parallel, in a process that stays.
    if (ServerMode() == 0) SetServerMode(2);
    std::string threadsVariable;
    platform::ReadEnvironmentVariable("PICTORAMA_FASTCGI_THREADS", threadsVariable);
    FastCgiSettings settings = ReadFastCgiSettings(platform::CommandLineArguments(), threadsVariable,
                                                   static_cast<int>(platform::ProcessorCount()));
    if (!settings.error.empty()) throw UsageError(settings.error);
    if (FCGX_Init() != 0) throw Exception("The FastCGI library cannot start");
    int listenSocket = 0;  // standard input
    if (!settings.address.empty()) {
        std::string why;
        listenSocket = platform::OpenListeningSocket(settings.address, ListenBacklog, why);
        if (listenSocket < 0) throw Exception("Cannot listen on " + settings.address + ": " + why);
    }
    if (!platform::IsListeningSocket(listenSocket) || !platform::SetNonBlocking(listenSocket))
        throw Exception("No listening socket to take FastCGI connections from");
    std::string webServers;
    platform::ReadEnvironmentVariable("FCGI_WEB_SERVER_ADDRS", webServers);
    platform::CatchStopSignals();
    platform::IgnoreBrokenConnections();
    {
        FastCgiConnections connections(listenSocket, WebServerAddresses(webServers), WaitedBodyBytes(KeptInputLimit()),
                                       FastCgiStopCheckMilliseconds);
        if (!connections.Ready()) throw Exception("Cannot wait for FastCGI connections");
        std::vector<std::thread> pool;
        {
            // The stop signals come to this thread, which only waits: a
            // request's read or write is never cut short by one.
            platform::NewThreadsTakeNoSignals quiet;
            for (int i = 0; i < settings.threads; ++i)
                pool.emplace_back([this, &connections] { ServeConnections(this, connections); });
        }
        for (std::thread& worker : pool) worker.join();
    }
    if (listenSocket != 0) platform::CloseDescriptor(listenSocket);
    // Every request is done: what the process kept for them ends now, once.
    try {
        if (OnLastExecRequest()) OnLastExecRequest()(this);
    } catch (const std::exception& error) {
        WriteLog(error.what());
    }
}
