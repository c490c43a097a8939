// Waiting for one file: a file renamed into a folder, or one disappearing
// from it. Lets a process that waits for files that are renamed into place
// wake as soon as one is there instead of on its next polling tick.
#pragma once
#include <string>

namespace platform {

class FileWaiter {
public:
    // Starts watching the folder; without the service (or the folder) Wait
    // just sleeps.
    explicit FileWaiter(const std::string& folder);
    ~FileWaiter();
    FileWaiter(const FileWaiter&) = delete;
    FileWaiter& operator=(const FileWaiter&) = delete;

    // Returns after timeoutMilliseconds, or earlier when a file was renamed
    // into or out of the folder or deleted since the
    // last call, or when a signal arrived. Changes before the call count too,
    // so nothing that happens between a check and the wait is missed.
    void Wait(int timeoutMilliseconds);
    bool Active() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace platform
