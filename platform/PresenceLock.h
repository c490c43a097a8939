// Announcing that a process is alive, so that others can ask whether it still
// is: the owner holds an exclusive lock on a file; the lock goes with the
// process, however it ends.
#pragma once
#include <string>

namespace platform {

class PresenceLock {
public:
    PresenceLock() = default;
    ~PresenceLock();
    PresenceLock(const PresenceLock&) = delete;
    PresenceLock& operator=(const PresenceLock&) = delete;

    // Creates the file when missing and takes the lock; false when another
    // process holds it (retried for up to retryMilliseconds) or the file
    // cannot be made.
    bool Acquire(const std::string& path, int retryMilliseconds = 1000);
    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// True when some process holds the presence lock on the file. A missing file
// means nobody is present.
bool IsPresent(const std::string& path);

}  // namespace platform
