// What the Windows implementation of the services shares: the system's
// headers (without the macros that would rename our own functions), names
// between UTF-8 and the wide API, and system error codes as the errno values
// the rest of the program reads.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// platform::CreateDirectory and platform::DeleteFile are ours.
#undef CreateDirectory
#undef DeleteFile

#include <string>

namespace platform::win32 {

// UTF-8 to UTF-16 and back; a byte that is not UTF-8 becomes U+FFFD.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const wchar_t* wide, size_t length);
inline std::string Utf8(const std::wstring& wide) { return Utf8(wide.data(), wide.size()); }

// A path for the wide file API: UTF-16, and past the classic length limit an
// absolute path in its "\\?\" form (full, with "\" separators), so that deep
// folders and long names still open.
std::wstring WidePath(const std::string& path);

// Seconds since the epoch of a system time stamp, and back.
double EpochSeconds(const FILETIME& time);
FILETIME FileTimeOf(double epochSeconds);

// The errno value that stands for a system error (ENOENT for a missing file,
// EACCES for a denied or shared one, ...); EIO for the rest.
int ErrnoOf(DWORD error);
// Sets errno from GetLastError() and returns it.
int SetErrnoFromLastError();

// A kernel handle kept in an int member (handles have 32 significant bits
// on 64-bit Windows; -1 stands for none).
inline int HandleAsInt(HANDLE h) { return h == INVALID_HANDLE_VALUE || !h ? -1 : HandleToLong(h); }
inline HANDLE IntAsHandle(int value) { return value < 0 ? INVALID_HANDLE_VALUE : LongToHandle(value); }

}  // namespace platform::win32
