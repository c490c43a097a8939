// The HTTP engine: the per-thread request context, the engine's settings,
// variable lookups, the response header block and body, and the global
// routines the gallery uses. The request lifecycle and the error page are in
// RequestLifecycle.cpp, the client input in ClientInput.cpp; the hostings
// (engine/hostings/) derive from THttpEngine.
#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/Component.h"
#include "engine/FormFields.h"
#include "engine/StringList.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

class THttpEngine;

enum class TDebugMode : uint8_t { NoDebug = 0, DebugException = 1, DebugAlways = 2 };

// How long the process that serves an engine's requests lives; the hosting
// fixes it when it makes its engine, and every question of lifetime is
// answered from it (ServerMode and CGIAutoTerminate stay settings):
//   OneRequestPerProcess: the process serves one request and ends (CGI,
//     Win-CGI): the last-request event fires after that request, and
//     nothing is kept for a next one;
//   Resident: the process serves request after request until it is stopped
//     (FastCGI, the server mode's instance): the last-request event fires
//     once, when it stops serving, and what it keeps between requests
//     (folders, the thumbnail threads) lives until then;
//   InsideLibrary: a web server loaded the library, calls it on its own
//     threads and may unload it after any request: the last-request event
//     fires when the server says it is done with it (TerminateExtension),
//     the process is never ended, and the request's connection is the
//     server's (no body drained).
enum class TProcessLifetime : uint8_t { OneRequestPerProcess, Resident, InsideLibrary };

using TExecRequestEvent = std::function<void(THttpEngine* sender)>;
using TRequestErrorEvent = std::function<void(THttpEngine* sender, const std::exception& error)>;

// Which methods a request may use. Put can never be switched on.
class TAllowedMethods {
public:
    bool Get() const { return get_; }
    bool Put() const { return false; }
    bool Post() const { return post_; }
    void SetGet(bool v) { get_ = v; }
    void SetPut(bool) {}
    void SetPost(bool v) { post_ = v; }

private:
    bool get_ = true;
    bool post_ = true;
};

// Response headers in order of addition; lookups ignore letter case.
class HeaderList {
public:
    void Add(std::string name, std::string value) { items_.emplace_back(std::move(name), std::move(value)); }
    // The first entry with that name, or nullptr.
    const std::string* Find(std::string_view name) const;
    bool Empty() const { return items_.empty(); }
    size_t Count() const { return items_.size(); }
    void Clear() { items_.clear(); }
    std::vector<std::pair<std::string, std::string>>& Items() { return items_; }

private:
    std::vector<std::pair<std::string, std::string>> items_;
};

// Everything one request owns; one per thread, so that a library host can
// serve several requests at once.
struct RequestContext {
    THttpEngine* currentEngine = nullptr;   // not owned; survives requests
    std::unique_ptr<Stream> output;
    std::unique_ptr<Stream> ownedInput;     // empty when input is the output stream
    Stream* input = nullptr;
    std::unique_ptr<MemoryStream> clientInputCapture;
    std::unique_ptr<MemoryStream> userLogCapture;
    std::unique_ptr<StringList> variables;
    std::unique_ptr<http::FormFieldList> formFields;
    std::unique_ptr<std::vector<std::string>> temporaryFiles;
    std::unique_ptr<std::string> outputBuffer;
    std::unique_ptr<HeaderList> headers;
    int headersSent = 0;
    int bodySent = 0;
    int requestNumber = 0;
    int debugOutput = 0;
    int64_t inputBytesRead = 0;  // body bytes taken from input so far
    // Hosting-specific per-thread data (the extension control block of a
    // library host); opaque to the core.
    void* hostData = nullptr;
    void* filterContext = nullptr;
};

RequestContext& Context();

class THttpEngine : public TComponent {
public:
    explicit THttpEngine(TComponent* owner);
    ~THttpEngine() override;

    // --- Settings (setters store and forward to the thread's current engine) ---
    TAllowedMethods AllowedMethods;
    const std::string& AutoContentType() const { return autoContentType_; }
    virtual void SetAutoContentType(const std::string& v);
    bool AutoHttpHeader() const { return autoHttpHeader_; }
    virtual void SetAutoHttpHeader(bool v);
    bool AutoReadInput() const { return autoReadInput_; }
    virtual void SetAutoReadInput(bool v);
    int32_t AutoReadLimit() const { return autoReadLimit_; }
    virtual void SetAutoReadLimit(int32_t v);
    // How many body bytes a request keeps in memory (for its form fields and
    // the debug dump); the rest of the body is still read, and dropped.
    // Negative, the default, keeps every byte.
    int32_t KeptInputLimit() const { return keptInputLimit_; }
    virtual void SetKeptInputLimit(int32_t v);
    TDebugMode DebugMode() const { return debugMode_; }
    virtual void SetDebugMode(TDebugMode v);
    bool NoCache() const { return noCache_; }
    virtual void SetNoCache(bool v);
    const std::string& TempDir() const { return tempDir_; }
    virtual void SetTempDir(const std::string& v);
    uint8_t ServerMode() const { return serverMode_; }
    virtual void SetServerMode(uint8_t v);
    // Not a setting: the hosting's fact, set once when the engine is made.
    TProcessLifetime Lifetime() const { return lifetime_; }
    void SetLifetime(TProcessLifetime v) { lifetime_ = v; }
    bool BufferedOutput() const { return true; }
    virtual void SetBufferedOutput(bool);
    std::string Version() const;
    // The version text is fixed; an assignment is accepted and dropped.
    void SetVersion(const std::string&) {}

    const TExecRequestEvent& OnExecRequest() const { return onExecRequest_; }
    virtual void SetOnExecRequest(TExecRequestEvent e);
    const TExecRequestEvent& OnFirstExecRequest() const { return onFirstExecRequest_; }
    virtual void SetOnFirstExecRequest(TExecRequestEvent e);
    const TExecRequestEvent& OnLastExecRequest() const { return onLastExecRequest_; }
    virtual void SetOnLastExecRequest(TExecRequestEvent e);
    const TExecRequestEvent& OnPrepareRequest() const { return onPrepareRequest_; }
    virtual void SetOnPrepareRequest(TExecRequestEvent e);
    const TRequestErrorEvent& OnRequestError() const { return onRequestError_; }
    virtual void SetOnRequestError(TRequestErrorEvent e);

    // --- Hosting operations ---
    // Writes one header line (a status line has an empty value).
    virtual void WriteHeaderLine(const std::string& name, const std::string& value) = 0;
    virtual void EndHeader() = 0;
    // Variables straight from the host, for hostings without a variable list.
    virtual std::string GetHostVariable(const std::string& name);
    virtual void FinishRequest();
    virtual void Terminate();
    // After an error page: a hosting that serves one request per process
    // sends it and ends the process; the others go on.
    virtual void EndAfterErrorPage() {}
    // Whether finishing a request ends the process (a CGI hosting serving
    // one request per process, told to end it by itself).
    virtual bool EndsProcessWhenFinished() const { return false; }

    // --- Request variables ---
    std::string GetVar(const std::string& name);
    std::string GetServerSoftware() { return GetVar("SERVER SOFTWARE"); }
    std::string GetGatewayInterface() { return GetVar("GATEWAY INTERFACE"); }
    std::string GetServerProtocol() { return GetVar("SERVER_PROTOCOL"); }
    std::string GetServerPort() { return GetVar("SERVER_PORT"); }
    bool IsSecurePort() { return GetVar("SERVER_PORT_SECURE") == "1"; }
    std::string GetRequestMethod() { return GetVar("REQUEST_METHOD"); }
    std::string GetPathInfo() { return GetVar("PATH_INFO"); }
    std::string GetPathTranslated() { return GetVar("PATH_TRANSLATED"); }
    std::string GetScriptName() { return GetVar("SCRIPT_NAME"); }
    std::string GetQueryString() { return GetVar("QUERY_STRING"); }
    std::string GetRemoteHost() { return GetVar("REMOTE_HOST"); }
    std::string GetRemoteAddr() { return GetVar("REMOTE_ADDR"); }
    std::string GetAuthType() { return GetVar("AUTH_TYPE"); }
    std::string GetRemoteUser() { return GetVar("REMOTE_USER"); }
    std::string GetRemoteIdent() { return GetVar("REMOTE_IDENT"); }
    std::string GetContentType() { return GetVar("CONTENT_TYPE"); }
    int32_t GetContentLength();
    std::string GetUrl() { return GetVar("URL"); }
    std::string GetUserAgent() { return GetVar("USER_AGENT"); }
    std::string GetHttpCookie() { return GetVar("HTTP_COOKIE"); }
    std::string GetHttpReferer() { return GetVar("HTTP_REFERER"); }
    std::string GetExecutablePath() { return GetVar("EXECUTABLE_PATH"); }

    // --- Response ---
    void SendResponse();
    void ClearResponse();
    void AddHeader(const std::string& name, const std::string& value);
    void SendAsAttachment(const std::string& contentType, const std::string& fileName);
    void Write(std::string_view text);
    void WriteLine(std::string_view text);
    void WriteStream(Stream& stream);
    void WriteBuffer(const void* data, int64_t count);
    void SendHeaders();
    void SendHeaderLine(const std::string& name, const std::string& value);

    // --- Client input ---
    int32_t ReadInput(void* buffer, int32_t count);
    void ReadClientInput();
    // Reads and drops what the request announced but nobody read (a refused
    // body, a body the page ignored), at most MaxDiscardedBodyBytes.
    void DiscardUnreadBody();
    std::string GetFormField(const std::string& name, const std::string& defaultValue);
    std::vector<std::string> GetFormFieldNames();
    http::FormFieldList* FormFields();
    StringList* ServerVariables();

    // --- Lifecycle ---
    // Serves one request; takes ownership of the streams and the variables
    // (input may be the output stream itself).
    void ExecuteRequest(Stream* input, Stream* output, StringList* variables);
    void ReportError(const std::exception& error);
    void BeginDebugOutput();
    static void MakeCurrent(THttpEngine* engine);

    // Locks that serialise whole requests (ServerMode 1 in a process that
    // serves more than one).
    using Lock = std::mutex;
    Lock* CreateLock() { return new Lock(); }
    void EnterLock(Lock* lock) { if (lock) lock->lock(); }
    void LeaveLock(Lock* lock) { if (lock) lock->unlock(); }
    void FreeLock(Lock* lock) { delete lock; }

protected:
    // Forwards a setting to the thread's current engine when that is another object.
    template <typename F>
    void Forward(F&& assign) {
        THttpEngine* current = Context().currentEngine;
        if (current && current != this) assign(current);
    }
    void ReportUnhandledException(const std::exception& error);
    void AppendDebugDump();

private:
    std::string autoContentType_ = "text/html";
    bool autoHttpHeader_ = true;
    bool autoReadInput_ = true;
    int32_t autoReadLimit_ = -1;
    int32_t keptInputLimit_ = -1;
    TDebugMode debugMode_ = TDebugMode::NoDebug;
    bool noCache_ = false;
    std::string tempDir_ = "Temp";
    uint8_t serverMode_ = 0;
    TProcessLifetime lifetime_ = TProcessLifetime::OneRequestPerProcess;
    TExecRequestEvent onExecRequest_, onFirstExecRequest_, onLastExecRequest_, onPrepareRequest_;
    TRequestErrorEvent onRequestError_;
};

// The global routines the gallery uses: they act on the engine serving the
// calling thread.
void HttpSend(std::string_view text);
std::string HttpGetVar(const std::string& name);
THttpEngine* CurrentHttpEngine();

