#include "platform/PresenceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Process.h"

namespace platform {

PresenceLock::~PresenceLock() { Release(); }

bool PresenceLock::Acquire(const std::string& path, int retryMilliseconds) {
    Release();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    // Someone asking IsPresent holds a shared lock for a moment; try again
    // for a while before giving up.
    for (int waited = 0;; waited += 10) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return true;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= retryMilliseconds) break;
        SleepMilliseconds(10);
    }
    ::close(fd);
    return false;
}

void PresenceLock::Release() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
    fd_ = -1;
}

bool IsPresent(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = false;
    for (;;) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) break;
        if (errno == EINTR) continue;
        held = errno == EWOULDBLOCK;
        break;
    }
    ::close(fd);
    return held;
}

}  // namespace platform
