#include "platform/windows/Win32.h"

#include <cerrno>
#include <cwchar>

namespace platform::win32 {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const wchar_t* wide, size_t length) {
    if (length == 0) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

namespace {
// Below this the classic API takes a path as it is (MAX_PATH less room for
// an 8.3 name, which CreateDirectory insists on).
constexpr size_t ClassicPathLimit = MAX_PATH - 12;

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }
}  // namespace

std::wstring WidePath(const std::string& path) {
    std::wstring wide = Wide(path);
    if (wide.size() < ClassicPathLimit) return wide;
    if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    bool drive = wide.size() >= 3 && wide[1] == L':' && IsSlash(wide[2]);
    bool unc = IsSlash(wide[0]) && IsSlash(wide[1]);
    if (!drive && !unc) return wide;
    // The full form resolves "." and ".." and turns "/" into "\", which the
    // "\\?\" form takes literally.
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    full.resize(n);
    if (unc) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

namespace {
// 100-nanosecond ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t EpochTicks = 116444736000000000LL;
}  // namespace

double EpochSeconds(const FILETIME& time) {
    int64_t ticks = (static_cast<int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks - EpochTicks) / 1e7;
}

FILETIME FileTimeOf(double epochSeconds) {
    int64_t ticks = static_cast<int64_t>(epochSeconds * 1e7) + EpochTicks;
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    t.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return t;
}

int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            return ENOENT;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return EPIPE;
        default:
            return EIO;
    }
}

int SetErrnoFromLastError() {
    errno = ErrnoOf(GetLastError());
    return errno;
}

}  // namespace platform::win32
