#include "platform/FileWaiter.h"

#include "platform/Process.h"
#include "platform/windows/Win32.h"

namespace platform {

FileWaiter::FileWaiter(const std::string& folder) {
    // Names appearing, disappearing or changing: a file renamed into place
    // among them (creating one wakes the waiter too, which then finds
    // nothing new and waits again).
    HANDLE h = FindFirstChangeNotificationW(win32::WidePath(folder).c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    fd_ = win32::HandleAsInt(h);
}

FileWaiter::~FileWaiter() {
    if (fd_ >= 0) FindCloseChangeNotification(win32::IntAsHandle(fd_));
}

void FileWaiter::Wait(int timeoutMilliseconds) {
    if (fd_ < 0) {
        SleepMilliseconds(timeoutMilliseconds);
        return;
    }
    // The handle stays signalled from the first change until it is re-armed,
    // so a change before the call is not missed.
    HANDLE h = win32::IntAsHandle(fd_);
    if (WaitForSingleObject(h, timeoutMilliseconds < 0 ? 0 : static_cast<DWORD>(timeoutMilliseconds)) ==
        WAIT_OBJECT_0)
        FindNextChangeNotification(h);
}

}  // namespace platform
