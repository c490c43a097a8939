#include "engine/HttpEngine.h"

#include <mutex>
#include <random>
#include <thread>

#include "engine/DebugLog.h"
#include "engine/HttpUtils.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace {

thread_local RequestContext t_context;

std::atomic<int> g_requestCounter{0};

std::mutex& RandomMutex() {
    static std::mutex m;
    return m;
}
std::mt19937& RandomGenerator() {
    static std::mt19937 generator(platform::RandomSeed());
    return generator;
}

int RandomRequestNumber() {
    std::lock_guard<std::mutex> guard(RandomMutex());
    return std::uniform_int_distribution<int>(0, 9999)(RandomGenerator());
}

// Held from the handler until the response is sent (released before
// FinishRequest) when a library serves requests one at a time.
std::mutex& RequestLock() {
    static std::mutex lock;
    return lock;
}

// The input watchdog of the CGI hostings: ends the process when no body byte
// has arrived for MaxInputWaitSeconds. Created once, never destroyed, so that
// the detached thread never outlives its state.
struct Watchdog {
    std::atomic<double> deadline{0};  // monotonic seconds; 0 = disarmed
    std::atomic<bool> stop{false};
};
std::atomic<Watchdog*> g_watchdog{nullptr};

void StartWatchdog() {
    if (platform::RunningAsLibrary() || g_watchdog.load()) return;
    auto* dog = new Watchdog();
    Watchdog* expected = nullptr;
    if (!g_watchdog.compare_exchange_strong(expected, dog)) {
        delete dog;
        return;
    }
    std::thread([dog] {
        while (!dog->stop.load()) {
            double d = dog->deadline.load();
            if (d > 0 && platform::MonotonicSeconds() > d) platform::EndProcessNow(0);
            platform::SleepMilliseconds(2000);
        }
    }).detach();
}

}  // namespace

RequestContext& Context() { return t_context; }

void InitializeEngineProcess() {
    g_requestCounter = 0;
    t_context.currentEngine = nullptr;
    t_context.requestNumber = RandomRequestNumber();
}

int RequestCount() { return g_requestCounter.load(); }

void SetWatchdogDeadline(double secondsFromNow) {
    Watchdog* dog = g_watchdog.load();
    if (!dog) return;
    dog->deadline = secondsFromNow > 0 ? platform::MonotonicSeconds() + secondsFromNow : 0.0;
}

void StopWatchdog() {
    Watchdog* dog = g_watchdog.load();
    if (dog) {
        dog->deadline = 0.0;
        dog->stop = true;
    }
}

const std::string* HeaderList::Find(std::string_view name) const {
    for (const auto& [n, v] : items_)
        if (text::EqualsIgnoreCase(n, name)) return &v;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Construction and settings

THttpEngine::THttpEngine(TComponent* owner) : TComponent(owner) {
    Context().currentEngine = this;
    StartWatchdog();
}

THttpEngine::~THttpEngine() {
    if (Context().currentEngine == this) Context().currentEngine = nullptr;
}

void THttpEngine::SetAutoContentType(const std::string& v) {
    // Pages set the type they already have while a library host serves other
    // requests that read it: storing the same text again would be a write
    // racing those reads.
    if (autoContentType_ != v) autoContentType_ = v;
    Forward([&](THttpEngine* e) { e->SetAutoContentType(v); });
}
void THttpEngine::SetAutoHttpHeader(bool v) {
    autoHttpHeader_ = v;
    Forward([&](THttpEngine* e) { e->SetAutoHttpHeader(v); });
}
void THttpEngine::SetAutoReadInput(bool v) {
    autoReadInput_ = v;
    Forward([&](THttpEngine* e) { e->SetAutoReadInput(v); });
}
void THttpEngine::SetAutoReadLimit(int32_t v) {
    autoReadLimit_ = v;
    Forward([&](THttpEngine* e) { e->SetAutoReadLimit(v); });
}
void THttpEngine::SetDebugMode(TDebugMode v) {
    debugMode_ = v;
    Forward([&](THttpEngine* e) { e->SetDebugMode(v); });
}
void THttpEngine::SetNoCache(bool v) {
    noCache_ = v;
    Forward([&](THttpEngine* e) { e->SetNoCache(v); });
}
void THttpEngine::SetTempDir(const std::string& v) {
    tempDir_ = v;
    Forward([&](THttpEngine* e) { e->SetTempDir(v); });
}
void THttpEngine::SetServerMode(uint8_t v) {
    serverMode_ = v;
    Forward([&](THttpEngine* e) { e->SetServerMode(v); });
}
void THttpEngine::SetBufferedOutput(bool) {
    // Output is always buffered: the automatic content length depends on it.
    Forward([&](THttpEngine* e) { e->SetBufferedOutput(true); });
}
std::string THttpEngine::Version() const { return "Pictorama HTTP engine 1.0"; }

void THttpEngine::SetOnExecRequest(TExecRequestEvent e) {
    onExecRequest_ = e;
    Forward([&](THttpEngine* x) { x->SetOnExecRequest(e); });
}
void THttpEngine::SetOnFirstExecRequest(TExecRequestEvent e) {
    onFirstExecRequest_ = e;
    Forward([&](THttpEngine* x) { x->SetOnFirstExecRequest(e); });
}
void THttpEngine::SetOnLastExecRequest(TExecRequestEvent e) {
    onLastExecRequest_ = e;
    Forward([&](THttpEngine* x) { x->SetOnLastExecRequest(e); });
}
void THttpEngine::SetOnPrepareRequest(TExecRequestEvent e) {
    onPrepareRequest_ = e;
    Forward([&](THttpEngine* x) { x->SetOnPrepareRequest(e); });
}
void THttpEngine::SetOnRequestError(TRequestErrorEvent e) {
    onRequestError_ = e;
    Forward([&](THttpEngine* x) { x->SetOnRequestError(e); });
}

std::string THttpEngine::GetHostVariable(const std::string&) { return {}; }

void THttpEngine::MakeCurrent(THttpEngine* engine) { Context().currentEngine = engine; }

// ---------------------------------------------------------------------------
// Request variables

namespace {
struct AliasGroup {
    std::vector<const char*> keys;
    std::vector<const char*> tried;
};

const std::vector<AliasGroup>& AliasGroups() {
    static const std::vector<AliasGroup> groups = {
        {{"EXECUTABLE_PATH", "SCRIPT_NAME", "URL", "URI", "HTTP_URL"},
         {"SCRIPT_NAME", "EXECUTABLE_PATH", "URL", "HTTP_URL", "URI"}},
        {{"QUERY_STRING", "QUERY"}, {"QUERY_STRING", "QUERY"}},
        {{"SERVER_SOFTWARE", "SERVER_NAME"}, {"SERVER_SOFTWARE", "SERVER_NAME"}},
        {{"REMOTE_ADDR", "REMOTE_ADDRESS", "IP"}, {"REMOTE_ADDR", "REMOTE_ADDRESS", "IP"}},
        {{"REQUEST_METHOD", "METHOD"}, {"REQUEST_METHOD", "METHOD"}},
        {{"REMOTE_HOST", "HOST", "DNS"}, {"REMOTE_HOST", "HOST", "DNS"}},
        {{"AUTH_TYPE", "AUTHENTICATION_METHOD"}, {"AUTH_TYPE", "AUTHENTICATION_METHOD"}},
        {{"HTTP_USER_AGENT", "USER_AGENT"}, {"USER_AGENT", "HTTP_USER_AGENT"}},
        {{"HTTP_REFERER", "REFERER"}, {"REFERER", "HTTP_REFERER"}},
        {{"SERVER_PROTOCOL", "REQUEST_PROTOCOL", "PROTOCOL"}, {"SERVER_PROTOCOL", "REQUEST_PROTOCOL", "PROTOCOL"}},
        {{"HTTP_COOKIE", "COOKIE"}, {"HTTP_COOKIE", "COOKIE"}},
        {{"DOCUMENT_ROOT", "PATH_TRANSLATED", "PATH"}, {"DOCUMENT_ROOT", "PATH_TRANSLATED", "PATH"}},
        {{"AUTH_USER", "AUTHENTICATED_USERNAME"}, {"AUTH_USER", "AUTHENTICATED_USERNAME"}},
        {{"AUTH_PASSWORD", "AUTHENTICATED_PASSWORD"}, {"AUTH_PASSWORD", "AUTHENTICATED_PASSWORD"}},
    };
    return groups;
}
}  // namespace

std::string THttpEngine::GetVar(const std::string& name) {
    std::string key = text::UpperCase(name);
    for (char& c : key)
        if (c == '-' || c == ' ') c = '_';
    StringList* variables = Context().variables.get();
    if (!variables) return GetHostVariable(name);
    std::string value = variables->Value(key);
    if (!value.empty()) return value;
    for (const AliasGroup& group : AliasGroups()) {
        bool member = false;
        for (const char* k : group.keys)
            if (key == k) member = true;
        if (!member) continue;
        for (const char* tried : group.tried) {
            value = variables->Value(tried);
            if (!value.empty()) return value;
        }
        if (key == "AUTH_USER" || key == "AUTHENTICATED_USERNAME" || key == "AUTH_PASSWORD" ||
            key == "AUTHENTICATED_PASSWORD") {
            std::string user, password;
            http::DecodeBasicCredentials(GetVar("HTTP_AUTHORIZATION"), user, password);
            return (key == "AUTH_USER" || key == "AUTHENTICATED_USERNAME") ? user : password;
        }
        return {};
    }
    return GetHostVariable(name);
}

int32_t THttpEngine::GetContentLength() {
    int32_t n = 0;
    if (!text::TryStrToInt(GetVar("CONTENT_LENGTH"), n)) return 0;
    return n;
}

StringList* THttpEngine::ServerVariables() { return Context().variables.get(); }
http::FormFieldList* THttpEngine::FormFields() { return Context().formFields.get(); }

// ---------------------------------------------------------------------------
// Response

void THttpEngine::Write(std::string_view text) {
    auto& c = Context();
    if (!c.outputBuffer || text.empty()) return;
    c.outputBuffer->append(text);
}

void THttpEngine::WriteLine(std::string_view text) {
    auto& c = Context();
    if (!c.outputBuffer) return;
    c.outputBuffer->append(text);
    c.outputBuffer->append("\r\n");
}

void THttpEngine::WriteBuffer(const void* data, int64_t count) {
    auto& c = Context();
    if (!c.outputBuffer || count <= 0) return;
    c.outputBuffer->append(static_cast<const char*>(data), static_cast<size_t>(count));
}

void THttpEngine::WriteStream(Stream& stream) {
    if (!Context().outputBuffer) return;
    char chunk[1032];
    for (;;) {
        int64_t n = stream.Read(chunk, sizeof chunk);
        if (n <= 0) break;
        WriteBuffer(chunk, n);
    }
}

void THttpEngine::AddHeader(const std::string& name, const std::string& value) {
    auto& c = Context();
    if (c.headers) c.headers->Add(name, value);
}

void THttpEngine::ClearResponse() {
    auto& c = Context();
    if (c.headers) c.headers->Clear();
    if (c.outputBuffer) c.outputBuffer->clear();
}

void THttpEngine::SendAsAttachment(const std::string& contentType, const std::string& fileName) {
    std::string type = text::Trim(contentType);
    if (type.empty()) type = "application/binary";
    std::string name = fileName;
    size_t sep = name.find_last_of("\\/:");
    if (sep != std::string::npos) name = name.substr(sep + 1);
    AddHeader("Content-Type", type + "; name=" + name);
    AddHeader("Content-Transfer-Encoding", "8bit");
    AddHeader("Content-Disposition", "attachment; filename=" + name);
}

void THttpEngine::SendHeaderLine(const std::string& name, const std::string& value) {
    if (Context().debugOutput) return;
    WriteHeaderLine(name, value);
}

void THttpEngine::SendHeaders() {
    auto& c = Context();
    if (c.headers) {
        // Each entry is sent with its own value, so that repeated names (two
        // cookies) keep both values.
        auto items = std::move(c.headers->Items());
        c.headers->Clear();
        for (auto& [name, value] : items) SendHeaderLine(name, value);
    }
    c.headersSent = 1;
    EndHeader();
}

void THttpEngine::SendResponse() {
    auto& c = Context();
    if (!c.headers || !c.outputBuffer) return;
    const std::string* location = c.headers->Find("location");
    bool hasLocation = location && !location->empty();
    if (autoHttpHeader_ && !c.headersSent && !c.bodySent && !hasLocation) {
        bool hasStatus = false;
        for (auto& [name, value] : c.headers->Items())
            if (text::StartsWith(text::UpperCase(name), "HTTP/1.")) hasStatus = true;
        if (!hasStatus) SendHeaderLine("HTTP/1.0 200 OK", "");
        if (!c.headers->Find("content-type")) SendHeaderLine("content-type", autoContentType_);
        if (noCache_) {
            double past = platform::NowSeconds() - 1000.0 * 86400.0;
            c.headers->Add("Pragma", "no-cache");
            c.headers->Add("Cache-Control", "no-cache");
            c.headers->Add("Expires", http::HttpDate(past));
            c.headers->Add("Document Expires", http::HttpDate(past));
        }
    }
    if (!c.headersSent && (!c.headers->Empty() || autoHttpHeader_)) SendHeaders();
    if (c.debugOutput) AppendDebugDump();
    if (!c.outputBuffer->empty() && c.output) {
        c.output->Write(c.outputBuffer->data(), static_cast<int64_t>(c.outputBuffer->size()));
        c.bodySent = 1;
    }
    c.headers->Clear();
    c.outputBuffer->clear();
}

// ---------------------------------------------------------------------------
// Lifecycle

void THttpEngine::ExecuteRequest(Stream* input, Stream* output, StringList* variables) {
    auto& c = Context();
    c.formFields = std::make_unique<http::FormFieldList>();
    c.temporaryFiles = std::make_unique<std::vector<std::string>>();
    c.headers = std::make_unique<HeaderList>();
    c.outputBuffer = std::make_unique<std::string>();
    c.currentEngine = this;
    c.headersSent = 0;
    c.bodySent = 0;
    c.debugOutput = 0;
    c.output.reset(output);
    if (input == output) {
        c.ownedInput.reset();
    } else {
        c.ownedInput.reset(input);
    }
    c.input = input;
    c.variables.reset(variables);
    c.requestNumber = RandomRequestNumber();
    c.inputBytesRead = 0;

    std::unique_lock<std::mutex> lock;
    try {
        if (debugMode_ != TDebugMode::NoDebug) {
            c.clientInputCapture = std::make_unique<MemoryStream>();
            c.userLogCapture = std::make_unique<MemoryStream>();
            if (debugMode_ == TDebugMode::DebugAlways) BeginDebugOutput();
        } else {
            c.clientInputCapture.reset();
            c.userLogCapture.reset();
        }
        if (onPrepareRequest_) onPrepareRequest_(this);
        if (autoReadInput_) ReadClientInput();
        if (serverMode_ == 1 && platform::RunningAsLibrary()) lock = std::unique_lock<std::mutex>(RequestLock());
        if (++g_requestCounter == 1 && onFirstExecRequest_) onFirstExecRequest_(this);
        if (onExecRequest_) onExecRequest_(this);
        if (!platform::RunningAsLibrary() && serverMode_ == 0 && onLastExecRequest_) onLastExecRequest_(this);
        if (autoHttpHeader_ && !c.bodySent && c.outputBuffer && !c.outputBuffer->empty() && c.headers &&
            !c.headers->Find("content-length")) {
            c.headers->Add("content-length", std::to_string(c.outputBuffer->size()));
            c.headers->Add("Connection", "Keep-Alive");
        }
    } catch (const std::exception& error) {
        if (onRequestError_) {
            try {
                onRequestError_(this, error);
            } catch (const std::exception& second) {
                ReportError(second);
            }
        } else {
            ReportError(error);
        }
    }
    try {
        if (lock.owns_lock()) lock.unlock();
        FinishRequest();
    } catch (const std::exception& error) {
        ReportError(error);
    }
}

void THttpEngine::FinishRequest() {
    auto& c = Context();
    try {
        if (c.debugOutput) WriteLine("");
        if (c.output) {
            SendResponse();
            if (!platform::RunningAsLibrary()) DiscardUnreadBody();
            c.ownedInput.reset();
            c.input = nullptr;
            c.output.reset();
            c.clientInputCapture.reset();
            c.userLogCapture.reset();
            c.variables.reset();
            c.formFields.reset();
            if (c.temporaryFiles)
                for (const auto& path : *c.temporaryFiles) platform::DeleteFile(path);
            c.temporaryFiles.reset();
            c.headers.reset();
            c.outputBuffer.reset();
        }
    } catch (...) {
        // Finishing never fails the request: the response is already decided.
    }
}

void THttpEngine::ReportError(const std::exception& error) {
    if (debugMode_ != TDebugMode::NoDebug) BeginDebugOutput();
    ReportUnhandledException(error);
}

void THttpEngine::ReportUnhandledException(const std::exception& error) {
    std::string message = error.what();
    WriteLog("Unhandled Exception: " + message);
    auto& c = Context();
    THttpEngine* current = c.currentEngine;
    if (debugMode_ == TDebugMode::NoDebug && !current) return;
    try {
        if (!c.debugOutput) {
            if (c.outputBuffer) c.outputBuffer->clear();
            if (c.headers) c.headers->Clear();
        }
        if (!c.headersSent && current) current->AddHeader("content-type", "text/html");
        if (!c.debugOutput && current) current->WriteLine("<html><body>Unhandled Exception: " + message + "</body></html>");
        auto* cgi = dynamic_cast<THttpCGIEngine*>(current);
        if (cgi && cgi->ServerMode() == 0) {
            cgi->SendResponse();
            cgi->Terminate();
        }
    } catch (...) {
    }
}

void THttpEngine::Terminate() { TerminateProcessRoutine(); }

void TerminateProcessRoutine() {
    auto& c = Context();
    THttpEngine* current = c.currentEngine;
    try {
        if (c.output && current) current->SendResponse();
        // An error page leaves here before the request is finished.
        if (current && !platform::RunningAsLibrary()) current->DiscardUnreadBody();
        auto* cgi = dynamic_cast<THttpCGIEngine*>(current);
        if (current && (platform::RunningAsLibrary() || (cgi && !cgi->CGIAutoTerminate))) current->FinishRequest();
        StopWatchdog();
    } catch (...) {
    }
    if (platform::RunningAsLibrary()) return;
    // The forms are not freed one by one: ending the process releases them,
    // and this routine may run inside one of their own methods.
    platform::EndProcessNow(0);
}

// ---------------------------------------------------------------------------
// CGI-style hostings

THttpCGIEngine::THttpCGIEngine(TComponent* owner) : THttpEngine(owner) {}

void THttpCGIEngine::WriteHeaderLine(const std::string& name, const std::string& value) {
    auto& c = Context();
    if (!c.output) return;
    std::string line;
    std::string upperName = text::UpperCase(name);
    bool statusRewritten = false;
    if (text::StartsWith(upperName, "HTTP/1.")) {
        std::string software = text::UpperCase(GetServerSoftware());
        if (software.find("NETSCAPE") != std::string::npos || software.find("APACHE") != std::string::npos ||
            software.find("STRONGHOLD") != std::string::npos) {
            line = "Status:" + (name.size() > 8 ? name.substr(8, 1032) : std::string()) + "\r\n";
            statusRewritten = true;
        }
    }
    if (!statusRewritten) line = value.empty() ? name + "\r\n" : name + ": " + value + "\r\n";
    c.output->Write(line.data(), static_cast<int64_t>(line.size()));
}

void THttpCGIEngine::EndHeader() {
    auto& c = Context();
    if (c.output) c.output->Write("\r\n", 2);
}

void THttpCGIEngine::FinishRequest() {
    THttpEngine::FinishRequest();
    if (CGIAutoTerminate && ServerMode() == 0) Terminate();
}

// ---------------------------------------------------------------------------
// Global routines

void HttpSend(std::string_view text) {
    if (THttpEngine* e = Context().currentEngine) e->WriteLine(text);
}

std::string HttpGetVar(const std::string& name) {
    THttpEngine* e = Context().currentEngine;
    return e ? e->GetVar(name) : std::string();
}

THttpEngine* CurrentHttpEngine() { return Context().currentEngine; }
