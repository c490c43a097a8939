#include "engine/hostings/IsapiEngine.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/Log.h"
#include "engine/RequestLifecycle.h"
#include "platform/Environment.h"
#include "platform/ThreadExit.h"
#include "platform/Text.h"

using namespace isapi;

namespace {

std::atomic<TIsapiEngine*> g_engine{nullptr};
std::atomic<bool> g_unloadPermitted{false};
std::atomic<bool> g_released{false};

// A server variable is asked for with a buffer of this many bytes first.
constexpr size_t VariableBufferStep = 512;
// Beyond this a server variable is not worth holding: the value is cut there.
constexpr size_t MaxVariableBytes = 1 << 20;
// The server's redirect takes a URL of at most this many characters.
constexpr size_t MaxRedirectUrl = 1024;
// The description buffers hold this many characters and the NUL.
constexpr size_t MaxExtensionDesc = HSE_MAX_EXT_DLL_NAME_LEN - 1;
constexpr size_t MaxFilterDesc = SF_MAX_FILTER_DESC_LEN - 1;

void CopyText(const std::string& text, char* target, size_t maxChars) {
    size_t n = std::min(text.size(), maxChars);
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
}

// One call of the server's GetServerVariable; size is the buffer's usable length
// before and the server's answer after.
BOOL AskServer(char* name, char* buffer, DWORD& size) {
    if (EXTENSION_CONTROL_BLOCK* ecb = CurrentControlBlock())
        return ecb->GetServerVariable ? ecb->GetServerVariable(ecb->ConnID, name, buffer, &size) : False;
    if (HTTP_FILTER_CONTEXT* pfc = CurrentFilterContext())
        return pfc->GetServerVariable ? pfc->GetServerVariable(pfc, name, buffer, &size) : False;
    return False;
}

// The three digits after the first blank of a status line ("HTTP/1.0 500
// Internal Server Error"), or 0.
DWORD StatusCodeOf(const std::string& statusLine) {
    size_t blank = statusLine.find(' ');
    if (blank == std::string::npos || statusLine.size() < blank + 4) return 0;
    DWORD code = 0;
    for (size_t i = blank + 1; i < blank + 4; ++i) {
        char c = statusLine[i];
        if (c < '0' || c > '9') return 0;
        code = code * 10 + static_cast<DWORD>(c - '0');
    }
    return code;
}

}  // namespace

EXTENSION_CONTROL_BLOCK* CurrentControlBlock() {
    return static_cast<EXTENSION_CONTROL_BLOCK*>(Context().hostData);
}

HTTP_FILTER_CONTEXT* CurrentFilterContext() { return static_cast<HTTP_FILTER_CONTEXT*>(Context().filterContext); }

// ---------------------------------------------------------------------------
// The engine

TIsapiEngine::TIsapiEngine(TComponent* owner) : THttpEngine(owner) {
    SetLifetime(TProcessLifetime::InsideLibrary);
    g_engine = this;
    g_unloadPermitted = false;
}

TIsapiEngine::~TIsapiEngine() {
    TIsapiEngine* self = this;
    g_engine.compare_exchange_strong(self, nullptr);
}

TIsapiEngine* TIsapiEngine::Instance() { return g_engine.load(); }
bool TIsapiEngine::UnloadPermitted() { return g_unloadPermitted.load(); }
bool TIsapiEngine::Released() { return g_released.load(); }

void TIsapiEngine::WriteHeaderLine(const std::string& name, const std::string& value) {
    EXTENSION_CONTROL_BLOCK* ecb = CurrentControlBlock();
    if (!ecb) return;
    if (text::UpperCase(name) == "LOCATION") {
        // The server answers with the redirection itself.
        char url[MaxRedirectUrl + 1];
        CopyText(value, url, MaxRedirectUrl);
        DWORD length = static_cast<DWORD>(std::strlen(url));
        if (ecb->ServerSupportFunction)
            ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP, url, &length, nullptr);
        return;
    }
    // The server learns the status from the block too (its log, its own
    // handling of failed requests), not only the client from the bytes.
    if (text::StartsWith(text::UpperCase(name), "HTTP/1.")) {
        DWORD code = StatusCodeOf(name);
        if (code) ecb->dwHttpStatusCode = code;
    }
    std::string line = value.empty() ? name + "\r\n" : name + ": " + value + "\r\n";
    if (Stream* out = Context().output.get()) out->Write(line.data(), static_cast<int64_t>(line.size()));
}

void TIsapiEngine::EndHeader() {
    if (Stream* out = Context().output.get()) out->Write("\r\n", 2);
}

std::string TIsapiEngine::GetHostVariable(const std::string& name) { return GetIsapiVariable(name); }

void TIsapiEngine::Terminate() {
    if (CurrentControlBlock()) TerminateProcessRoutine();
    g_unloadPermitted = true;
}

// ---------------------------------------------------------------------------
// The stream over the server's callbacks

int64_t TIsapiStream::Read(void* buffer, int64_t count) {
    EXTENSION_CONTROL_BLOCK* ecb = CurrentControlBlock();
    char* out = static_cast<char*>(buffer);
    int64_t n = 0;
    if (ecb && ecb->lpbData) {
        int64_t delivered = std::min<int64_t>(ecb->cbAvailable - position_, count);
        if (delivered > 0) {
            std::memcpy(out, ecb->lpbData + position_, static_cast<size_t>(delivered));
            position_ += static_cast<uint32_t>(delivered);
            n = delivered;
        }
    }
    while (n < count) {
        if (!ecb || !ecb->ReadClient) return -1;
        DWORD chunk = static_cast<DWORD>(std::min(count - n, MaxReadPiece));
        if (!ecb->ReadClient(ecb->ConnID, out + n, &chunk) || chunk == 0) return -1;
        // A server that claims more than it was asked for is not believed.
        n += std::min<int64_t>(chunk, std::min(count - n, MaxReadPiece));
    }
    return n;
}

int64_t TIsapiStream::Write(const void* buffer, int64_t count) {
    if (count < 0 || count > INT32_MAX) return -1;
    DWORD bytes = static_cast<DWORD>(count);
    void* data = const_cast<void*>(buffer);
    if (EXTENSION_CONTROL_BLOCK* ecb = CurrentControlBlock()) {
        if (ecb->WriteClient) ecb->WriteClient(ecb->ConnID, data, &bytes, 0);
        return bytes;
    }
    if (HTTP_FILTER_CONTEXT* pfc = CurrentFilterContext()) {
        if (pfc->WriteClient) pfc->WriteClient(pfc, data, &bytes, 0);
        return bytes;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Request variables

std::string GetIsapiVariable(const std::string& name) {
    std::vector<char> variableName(name.begin(), name.end());
    variableName.push_back('\0');
    size_t capacity = VariableBufferStep;
    for (;;) {
        std::vector<char> buffer(capacity, '\0');
        DWORD size = static_cast<DWORD>(capacity - 1);
        BOOL ok = AskServer(variableName.data(), buffer.data(), size);
        std::string result;
        size_t length = 0;  // before trimming
        if (ok && size > 0) {
            size = std::min<DWORD>(size, static_cast<DWORD>(capacity - 1));
            buffer[size] = '\0';
            length = std::strlen(buffer.data());
            result = text::Trim(std::string_view(buffer.data(), length));
        } else if (!ok && size > capacity - 1 && capacity < MaxVariableBytes) {
            // The server refused the buffer as too small and said how much it
            // needs: ask again with that (a refused variable would otherwise
            // read as empty).
            capacity = std::min<size_t>(size_t{size} + 1, MaxVariableBytes);
            continue;
        }
        // A value that fills the buffer may have been cut: ask again with more
        // room. The untrimmed length decides, or a value cut just after a
        // blank would pass for whole.
        if (length >= capacity - 2 && capacity < MaxVariableBytes) {
            capacity = std::min(capacity * 2, MaxVariableBytes);
            continue;
        }
        return result;
    }
}

StringList* CollectIsapiVariables() {
    auto list = std::make_unique<StringList>(true);
    EXTENSION_CONTROL_BLOCK* ecb = CurrentControlBlock();
    if (ecb) {
        if (ecb->lpszQueryString) list->Add(std::string("QUERY_STRING=") + ecb->lpszQueryString);
        if (ecb->lpszMethod) list->Add(std::string("REQUEST_METHOD=") + ecb->lpszMethod);
        if (ecb->lpszPathInfo) list->Add(std::string("PATH_INFO=") + ecb->lpszPathInfo);
        if (ecb->lpszPathTranslated) list->Add(std::string("PATH_TRANSLATED=") + ecb->lpszPathTranslated);
        list->Add("CONTENT_LENGTH=" + std::to_string(ecb->cbTotalBytes));
    }
    static const char* const names[] = {
        "CONTENT_TYPE",     "REMOTE_ADDR",        "REMOTE_HOST",     "REMOTE_USER",     "UNMAPPED_REMOTE_USER",
        "SCRIPT_NAME",      "SERVER_NAME",        "SERVER_PORT",     "SERVER_PORT_SECURE",
        "SERVER_PROTOCOL",  "SERVER_SOFTWARE",    "HTTP_ACCEPT",     "URL",             "ALL_HTTP",
    };
    for (const char* name : names) list->Add(std::string(name) + "=" + GetIsapiVariable(name));

    // ALL_HTTP holds one request header a line, as HTTP_NAME:value.
    std::string rest = GetIsapiVariable("ALL_HTTP") + "\n";
    while (rest.size() > 2) {
        size_t lf = rest.find('\n');
        std::string part = rest.substr(0, lf);
        rest.erase(0, lf + 1);
        size_t sep = part.find(':');
        if (sep == std::string::npos) sep = part.find('=');
        if (sep == std::string::npos) continue;
        part[sep] = '=';
        list->Add(text::Trim(part));
    }
    return list.release();
}

// ---------------------------------------------------------------------------
// Entry points. Nothing may leave them as an exception: the server is not ours.

namespace {
std::string Message(const std::exception& e) { return e.what(); }
}  // namespace

extern "C" BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer) {
    try {
        bool resultValue = true;
        uint32_t version = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
        std::string description;
        TIsapiEngine* engine = TIsapiEngine::Instance();
        if (!engine) {
            // The library's start-up failed; it cannot serve anything.
            WriteLog("No engine in this library");
            return False;
        }
        if (engine->OnIsapiExtensionVersion) {
            try {
                engine->OnIsapiExtensionVersion(version, description, resultValue);
            } catch (const std::exception& e) {
                WriteLog(Message(e));
                resultValue = false;
            }
        }
        if (pVer) {
            pVer->dwExtensionVersion = version;
            CopyText(description, pVer->lpszExtensionDesc, MaxExtensionDesc);
        }
        return resultValue ? True : False;
    } catch (const std::exception& e) {
        WriteLog(Message(e));
    } catch (...) {
        WriteLog("Unknown error in GetExtensionVersion");
    }
    return False;
}

extern "C" DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB) {
    auto& c = Context();
    DWORD status = HSE_STATUS_ERROR;
    try {
        TIsapiEngine* engine = TIsapiEngine::Instance();
        if (!engine) throw Exception("No engine in this library");
        c.hostData = pECB;
        auto stream = std::make_unique<TIsapiStream>();
        std::unique_ptr<StringList> variables(CollectIsapiVariables());
        TIsapiStream* s = stream.release();
        // The lifecycle owns both from here and frees the stream once.
        engine->ExecuteRequest(s, s, variables.release());
        status = HSE_STATUS_SUCCESS;
    } catch (const std::exception& e) {
        WriteLog(Message(e));
        status = HSE_STATUS_ERROR;
    } catch (...) {
        WriteLog("Unknown error in HttpExtensionProc");
        status = HSE_STATUS_ERROR;
    }
    // The block belongs to the server once we return.
    c.hostData = nullptr;
    return status;
}

namespace {
// The server unloads the library after this call: what the calling thread
// holds of it goes now, outside the system's loader lock and before the
// library's static objects (a library loaded for a while only must leave
// nothing behind). Only a real library: a test program calling in keeps its
// thread's objects.
BOOL Unloading(BOOL result) {
    g_released = true;
    if (platform::RunningAsLibrary()) platform::EndThreadLocalsNow();
    return result;
}
}  // namespace

extern "C" BOOL TerminateExtension(DWORD dwFlags) {
    // The server unloads the library whatever it answers when it must, and
    // when the answer lets it.
    const bool mustUnload = dwFlags == HSE_TERM_MUST_UNLOAD;
    try {
        TIsapiEngine* engine = TIsapiEngine::Instance();
        // The last request has been: what the library keeps for requests
        // (the thumbnail threads) ends here, before it is unloaded.
        if (engine && engine->OnLastExecRequest()) {
            try {
                engine->OnLastExecRequest()(engine);
            } catch (const std::exception& e) {
                WriteLog(Message(e));
                return Unloading(True);
            }
        }
        BOOL permitted = TIsapiEngine::UnloadPermitted() ? True : False;
        return mustUnload || permitted ? Unloading(permitted) : permitted;
    } catch (const std::exception& e) {
        WriteLog(Message(e));
    } catch (...) {
        WriteLog("Unknown error in TerminateExtension");
    }
    return Unloading(True);
}

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
    try {
        TIsapiEngine* engine = TIsapiEngine::Instance();
        if (!engine) throw Exception("No engine in this library");
        THttpEngine::MakeCurrent(engine);
        bool resultValue = true;
        int32_t flags = 0;
        int32_t filterVersion = static_cast<int32_t>(HTTP_FILTER_REVISION);
        int32_t serverVersion = pVer ? static_cast<int32_t>(pVer->dwServerFilterVersion) : 0;
        std::string description;
        if (pVer) {
            pVer->dwFlags = 0;
            pVer->dwFilterVersion = HTTP_FILTER_REVISION;
        }
        if (engine->OnIsapiFilterVersion) {
            engine->OnIsapiFilterVersion(serverVersion, filterVersion, description, flags, resultValue);
            if (pVer) {
                pVer->dwServerFilterVersion = static_cast<DWORD>(serverVersion);
                pVer->dwFilterVersion = static_cast<DWORD>(filterVersion);
                pVer->dwFlags = static_cast<DWORD>(flags);
                CopyText(description, pVer->lpszFilterDesc, MaxFilterDesc);
            }
        }
        return resultValue ? True : False;
    } catch (const std::exception& e) {
        WriteLog(Message(e));
    } catch (...) {
        WriteLog("Unknown error in GetFilterVersion");
    }
    return False;
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType, void* pvNotification) {
    int32_t resultValue = static_cast<int32_t>(SF_STATUS_REQ_NEXT_NOTIFICATION);
    try {
        TIsapiEngine* engine = TIsapiEngine::Instance();
        if (!engine) throw Exception("No engine in this library");
        THttpEngine::MakeCurrent(engine);
        // The filter context belongs to this call only: a later lookup on
        // this thread must not reach into a block the server has reused.
        struct FilterContextScope {
            explicit FilterContextScope(HTTP_FILTER_CONTEXT* pfc) { Context().filterContext = pfc; }
            ~FilterContextScope() { Context().filterContext = nullptr; }
            FilterContextScope(const FilterContextScope&) = delete;
            FilterContextScope& operator=(const FilterContextScope&) = delete;
        } scope(pfc);
        if (engine->OnIsapiFilterProc && pfc)
            engine->OnIsapiFilterProc(*pfc, static_cast<int32_t>(NotificationType), pvNotification, resultValue);
    } catch (const std::exception& e) {
        WriteLog(Message(e));
    } catch (...) {
        WriteLog("Unknown error in HttpFilterProc");
    }
    return static_cast<DWORD>(resultValue);
}
