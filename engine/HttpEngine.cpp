#include "engine/HttpEngine.h"

#include "engine/HttpUtils.h"
#include "engine/Watchdog.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace {

thread_local RequestContext t_context;

}  // namespace

RequestContext& Context() { return t_context; }

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

void THttpEngine::SetKeptInputLimit(int32_t v) {
    keptInputLimit_ = v;
    Forward([&](THttpEngine* e) { e->SetKeptInputLimit(v); });
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
    char chunk[http::PieceBytes];
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
// Debug output: a plain-text header block first, the response, then the
// captures of the request appended to it.

namespace {
std::string SectionHead(const char* title) {
    return std::string("\r\n(************************)\r\n") + title + "\r\n(************************)";
}
}  // namespace

void THttpEngine::BeginDebugOutput() {
    auto& c = Context();
    if (c.debugOutput) return;
    c.debugOutput = 1;
    std::unique_ptr<HeaderList> saved = std::move(c.headers);
    c.headers = std::make_unique<HeaderList>();
    WriteHeaderLine("HTTP/1.0 200 OK", "");
    WriteHeaderLine("content-type", "text/plain");
    EndHeader();
    c.headersSent = 0;
    c.headers = saved ? std::move(saved) : std::make_unique<HeaderList>();
}

void THttpEngine::AppendDebugDump() {
    auto& c = Context();
    WriteLine("(*** END ***)");
    WriteLine(SectionHead("(***    User Log      ***)"));
    if (c.userLogCapture) WriteBuffer(c.userLogCapture->Data().data(), static_cast<int64_t>(c.userLogCapture->Data().size()));
    WriteLine(SectionHead("(***   Client input   ***)"));
    if (c.clientInputCapture)
        WriteBuffer(c.clientInputCapture->Data().data(), static_cast<int64_t>(c.clientInputCapture->Data().size()));
    WriteLine(SectionHead("(*** Server variables ***)"));
    WriteLine(c.variables ? c.variables->Text() : std::string());
    c.debugOutput = 0;
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
