// Waiting for something to happen in a folder: a file renamed into it, or
// one disappearing. Lets a process that waits for files that are renamed into
// place wake as soon as they are there instead of on its next polling tick.
#pragma once
#include <string>

namespace platform {

class FolderWatch {
public:
    // Starts watching; without the service (or the folder) Wait just sleeps.
    explicit FolderWatch(const std::string& folder);
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

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
