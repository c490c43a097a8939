#include "platform/PresenceLock.h"

#include "platform/Process.h"
#include "platform/windows/Win32.h"

namespace platform {

namespace {
// The lock covers the file's first byte; the file stays empty, so the lock
// keeps nobody from reading it.
bool LockFirstByte(HANDLE h, DWORD flags) {
    OVERLAPPED at{};
    return LockFileEx(h, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

void UnlockFirstByte(HANDLE h) {
    OVERLAPPED at{};
    UnlockFileEx(h, 0, 1, 0, &at);
}

HANDLE OpenShared(const std::string& path, DWORD access, DWORD disposition) {
    return CreateFileW(win32::WidePath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

PresenceLock::~PresenceLock() { Release(); }

bool PresenceLock::Acquire(const std::string& path, int retryMilliseconds) {
    Release();
    HANDLE h = OpenShared(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return false;
    // Someone asking IsPresent holds a shared lock for a moment; try again
    // for a while before giving up.
    for (int waited = 0;; waited += 10) {
        if (LockFirstByte(h, LOCKFILE_EXCLUSIVE_LOCK)) {
            fd_ = win32::HandleAsInt(h);
            return true;
        }
        DWORD error = GetLastError();
        if ((error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) || waited >= retryMilliseconds) break;
        SleepMilliseconds(10);
    }
    CloseHandle(h);
    return false;
}

void PresenceLock::Release() {
    if (fd_ >= 0) CloseHandle(win32::IntAsHandle(fd_));  // closing drops the lock
    fd_ = -1;
}

bool IsPresent(const std::string& path) {
    HANDLE h = OpenShared(path, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool held = false;
    if (LockFirstByte(h, 0))
        UnlockFirstByte(h);
    else
        held = GetLastError() == ERROR_LOCK_VIOLATION;
    CloseHandle(h);
    return held;
}

}  // namespace platform
