#include "platform/FileWaiter.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform/Process.h"

namespace platform {

FileWaiter::FileWaiter(const std::string& folder) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    // Files worth waking for arrive complete, by rename; creating and writing
    // one (a file on its way) wakes nobody.
    uint32_t mask = IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF;
    if (inotify_add_watch(fd_, folder.c_str(), mask) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

FileWaiter::~FileWaiter() {
    if (fd_ >= 0) ::close(fd_);
}

void FileWaiter::Wait(int timeoutMilliseconds) {
    if (fd_ < 0) {
        SleepMilliseconds(timeoutMilliseconds);
        return;
    }
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMilliseconds) > 0) {
        // Drain: the caller looks at the folder itself, the events only woke it.
        alignas(inotify_event) char buffer[4096];
        while (::read(fd_, buffer, sizeof buffer) > 0) {
        }
    }
}

}  // namespace platform
