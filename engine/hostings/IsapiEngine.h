// Hosting inside a web server as an extension library: the server calls the
// exported entry points on its own threads, and each request's variables,
// body and response travel through the server's callbacks.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "engine/HttpEngine.h"
#include "engine/hostings/IsapiInterface.h"

using THttpExtensionVersionEvent =
    std::function<void(uint32_t& requestVersion, std::string& requestDesc, bool& resultValue)>;
using THttpFilterProcEvent = std::function<void(isapi::HTTP_FILTER_CONTEXT& pfc, int32_t notificationType,
                                                void* pvNotification, int32_t& resultValue)>;
using THttpFilterVersionEvent =
    std::function<void(int32_t& serverFilterVersion, int32_t& filterVersion, std::string& filterDesc,
                       int32_t& flags, bool& resultValue)>;

class TIsapiEngine : public THttpEngine {
public:
    // The process has one: the constructor records it and withdraws the
    // permission to unload.
    explicit TIsapiEngine(TComponent* owner);
    ~TIsapiEngine() override;

    THttpExtensionVersionEvent OnIsapiExtensionVersion;
    THttpFilterProcEvent OnIsapiFilterProc;
    THttpFilterVersionEvent OnIsapiFilterVersion;

    void WriteHeaderLine(const std::string& name, const std::string& value) override;
    void EndHeader() override;
    std::string GetHostVariable(const std::string& name) override;
    // Finishes the thread's request, if any, and lets the server unload us.
    void Terminate() override;

    static TIsapiEngine* Instance();
    // Whether TerminateExtension lets the server unload the library.
    static bool UnloadPermitted();
    // Whether the server has said it unloads the library (TerminateExtension
    // with the unload certain): no request comes any more.
    static bool Released();
};

// The request body and the response over the server's callbacks. Reading
// hands out the bytes the server delivered with the request first, then asks
// the server for the rest.
class TIsapiStream : public Stream {
public:
    // The server takes at most this many bytes per ReadClient call.
    static constexpr int64_t MaxReadPiece = 32386;
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t, int) override { return 0; }
    int64_t Size() override { return 0; }

private:
    uint32_t position_ = 0;  // in the delivered bytes
};

// The thread's extension control block (null outside a request) and the
// filter context of its last filter notification.
isapi::EXTENSION_CONTROL_BLOCK* CurrentControlBlock();
isapi::HTTP_FILTER_CONTEXT* CurrentFilterContext();

// One server variable, trimmed; empty when the server has none.
std::string GetIsapiVariable(const std::string& name);
// The request variables of the thread's request: the control block's fields,
// the usual server variables and one entry per request header. The caller
// owns the list.
StringList* CollectIsapiVariables();

extern "C" {
isapi::BOOL GetExtensionVersion(isapi::HSE_VERSION_INFO* pVer);
isapi::DWORD HttpExtensionProc(isapi::EXTENSION_CONTROL_BLOCK* pECB);
isapi::BOOL TerminateExtension(isapi::DWORD dwFlags);
isapi::BOOL GetFilterVersion(isapi::HTTP_FILTER_VERSION* pVer);
isapi::DWORD HttpFilterProc(isapi::HTTP_FILTER_CONTEXT* pfc, isapi::DWORD NotificationType,
                            void* pvNotification);
}
