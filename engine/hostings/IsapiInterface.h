// The web server extension and filter interface, as its published definition
// lays the structures out, with fixed-width types for this platform. Only what
// the library and our test host use is declared. Calling-convention
// attributes of the home platform have no meaning here and are left out.
#pragma once
#include <cstdint>

namespace isapi {

using DWORD = uint32_t;
using BOOL = int32_t;
using HCONN = void*;
using LPSTR = char*;
using LPVOID = void*;
using LPDWORD = DWORD*;
using LPBYTE = uint8_t*;
using ULONG_PTR = uintptr_t;

constexpr BOOL True = 1;
constexpr BOOL False = 0;

// Extensions -----------------------------------------------------------------

constexpr DWORD HSE_VERSION_MAJOR = 2;
constexpr DWORD HSE_VERSION_MINOR = 0;
constexpr DWORD HSE_LOG_BUFFER_LEN = 80;
constexpr DWORD HSE_MAX_EXT_DLL_NAME_LEN = 256;

constexpr DWORD HSE_STATUS_SUCCESS = 1;
constexpr DWORD HSE_STATUS_SUCCESS_AND_KEEP_CONN = 2;
constexpr DWORD HSE_STATUS_PENDING = 3;
constexpr DWORD HSE_STATUS_ERROR = 4;

constexpr DWORD HSE_REQ_BASE = 0;
constexpr DWORD HSE_REQ_SEND_URL_REDIRECT_RESP = HSE_REQ_BASE + 1;
constexpr DWORD HSE_REQ_SEND_URL = HSE_REQ_BASE + 2;
constexpr DWORD HSE_REQ_SEND_RESPONSE_HEADER = HSE_REQ_BASE + 3;
constexpr DWORD HSE_REQ_DONE_WITH_SESSION = HSE_REQ_BASE + 4;

constexpr DWORD HSE_TERM_ADVISORY_UNLOAD = 1;
constexpr DWORD HSE_TERM_MUST_UNLOAD = 2;

struct HSE_VERSION_INFO {
    DWORD dwExtensionVersion;
    char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
};

struct EXTENSION_CONTROL_BLOCK {
    DWORD cbSize;
    DWORD dwVersion;
    HCONN ConnID;
    DWORD dwHttpStatusCode;
    char lpszLogData[HSE_LOG_BUFFER_LEN];
    LPSTR lpszMethod;
    LPSTR lpszQueryString;
    LPSTR lpszPathInfo;
    LPSTR lpszPathTranslated;
    DWORD cbTotalBytes;
    DWORD cbAvailable;
    LPBYTE lpbData;
    LPSTR lpszContentType;
    BOOL (*GetServerVariable)(HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer, LPDWORD lpdwSize);
    BOOL (*WriteClient)(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
    BOOL (*ReadClient)(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
    BOOL (*ServerSupportFunction)(HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer, LPDWORD lpdwSize,
                                  LPDWORD lpdwDataType);
};

// Filters --------------------------------------------------------------------

constexpr DWORD HTTP_FILTER_REVISION = 0x00020000;
constexpr DWORD SF_MAX_FILTER_DESC_LEN = 256 + 1;

constexpr DWORD SF_STATUS_REQ_FINISHED = 0x08000000;
constexpr DWORD SF_STATUS_REQ_FINISHED_KEEP_CONN = 0x08000001;
constexpr DWORD SF_STATUS_REQ_NEXT_NOTIFICATION = 0x08000002;
constexpr DWORD SF_STATUS_REQ_HANDLED_NOTIFICATION = 0x08000003;
constexpr DWORD SF_STATUS_REQ_ERROR = 0x08000004;
constexpr DWORD SF_STATUS_REQ_READ_NEXT = 0x08000005;

// The request kinds of a filter's support function (an enumeration there).
using SF_REQ_TYPE = DWORD;

struct HTTP_FILTER_VERSION {
    DWORD dwServerFilterVersion;
    DWORD dwFilterVersion;
    char lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
    DWORD dwFlags;
};

struct HTTP_FILTER_CONTEXT {
    DWORD cbSize;
    DWORD Revision;
    LPVOID ServerContext;
    DWORD ulReserved;
    BOOL fIsSecurePort;
    LPVOID pFilterContext;
    BOOL (*GetServerVariable)(HTTP_FILTER_CONTEXT* pfc, LPSTR lpszVariableName, LPVOID lpvBuffer,
                              LPDWORD lpdwSize);
    BOOL (*AddResponseHeaders)(HTTP_FILTER_CONTEXT* pfc, LPSTR lpszHeaders, DWORD dwReserved);
    BOOL (*WriteClient)(HTTP_FILTER_CONTEXT* pfc, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
    void* (*AllocMem)(HTTP_FILTER_CONTEXT* pfc, DWORD cbSize, DWORD dwReserved);
    BOOL (*ServerSupportFunction)(HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE sfReq, LPVOID pData, ULONG_PTR ul1,
                                  ULONG_PTR ul2);
};

// The five entry points a library exports, as the host looks them up.
using GetExtensionVersionProc = BOOL (*)(HSE_VERSION_INFO* pVer);
using HttpExtensionProcProc = DWORD (*)(EXTENSION_CONTROL_BLOCK* pECB);
using TerminateExtensionProc = BOOL (*)(DWORD dwFlags);
using GetFilterVersionProc = BOOL (*)(HTTP_FILTER_VERSION* pVer);
using HttpFilterProcProc = DWORD (*)(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType, LPVOID pvNotification);

}  // namespace isapi
