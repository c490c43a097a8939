#include "engine/RequestLifecycle.h"

#include <atomic>
#include <mutex>
#include <random>

#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "engine/Log.h"
#include "engine/Watchdog.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Mutexes.h"
#include "platform/Process.h"

namespace {

// The status line of the error page. The CGI hostings write it in their
// "Status:" form for the servers that want one, as every status line.
const char* const ErrorStatusLine = "HTTP/1.0 500 Internal Server Error";

std::atomic<int> g_requestCounter{0};

std::mutex& RandomMutex() {
    static platform::Mutex m;
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

// Serialises the handlers when a process that serves many requests is told
// to serve them one at a time (ServerMode 1): taken after the client input is
// read, released just before FinishRequest.
std::mutex& RequestLock() {
    static platform::Mutex lock;
    return lock;
}

}  // namespace

void InitializeEngineProcess() {
    g_requestCounter = 0;
    Context().currentEngine = nullptr;
    Context().requestNumber = RandomRequestNumber();
}

int RequestCount() { return g_requestCounter.load(); }

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
        if (serverMode_ == 1 && lifetime_ != TProcessLifetime::OneRequestPerProcess)
            lock = std::unique_lock<std::mutex>(RequestLock());
        if (++g_requestCounter == 1 && onFirstExecRequest_) onFirstExecRequest_(this);
        if (onExecRequest_) onExecRequest_(this);
        // A resident process has its last request when it stops serving, a
        // library when the server is done with it; they fire it then.
        if (lifetime_ == TProcessLifetime::OneRequestPerProcess && onLastExecRequest_) onLastExecRequest_(this);
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
            if (lifetime_ != TProcessLifetime::InsideLibrary) DiscardUnreadBody();
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
        if (!c.headersSent && current) {
            // A failed request says so: caches, crawlers and monitors go by
            // the status, and must not take the error page for the page.
            if (!c.debugOutput) current->AddHeader(ErrorStatusLine, "");
            current->AddHeader("content-type", "text/html");
        }
        // The message may carry request text (a file name, a variable): it
        // goes into the page escaped, and into the log as it is.
        if (!c.debugOutput && current)
            current->WriteLine("<html><body>Unhandled Exception: " + http::HtmlEscape(message) + "</body></html>");
        if (current) current->EndAfterErrorPage();
    } catch (...) {
    }
}

void THttpEngine::Terminate() { TerminateProcessRoutine(); }

void TerminateProcessRoutine() {
    auto& c = Context();
    THttpEngine* current = c.currentEngine;
    // A library never ends the server's process.
    const bool insideLibrary =
        current ? current->Lifetime() == TProcessLifetime::InsideLibrary : platform::RunningAsLibrary();
    try {
        if (c.output && current) current->SendResponse();
        // An error page leaves here before the request is finished.
        if (current && !insideLibrary) current->DiscardUnreadBody();
        // Finished here unless finishing is what ends the process (and brought us here).
        if (current && !current->EndsProcessWhenFinished()) current->FinishRequest();
        StopWatchdog();
    } catch (...) {
    }
    if (insideLibrary) return;
    // The forms are not freed one by one: ending the process releases them,
    // and this routine may run inside one of their own methods.
    platform::EndProcessNow(0);
}
