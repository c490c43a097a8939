// The queue of changes made in a set of folders, read without looking at the
// folders: a process that keeps what it learned about a folder between
// requests asks, before it uses that knowledge, which folders changed since
// it last asked. Nothing waits: changes are collected as they happen and
// handed over on request.
#pragma once
#include <string>
#include <vector>

namespace platform {

class ChangeQueue {
public:
    // Without the service Active() is false and no folder can be watched.
    ChangeQueue();
    ~ChangeQueue();
    ChangeQueue(const ChangeQueue&) = delete;
    ChangeQueue& operator=(const ChangeQueue&) = delete;
    bool Active() const { return fd_ >= 0; }

    // Starts watching a folder: an entry created, written, its attributes
    // changed, renamed in or out or deleted, or the folder itself removed or
    // renamed, is reported. Returns the watch's number, the same for every
    // name of one folder, or -1 when the folder cannot be watched.
    int Watch(const std::string& folder);
    // Stops reporting a watch (one that ended on its own is no error).
    void Unwatch(int watch);

    struct Change {
        enum Kind {
            Entry,       // something happened to the entry `name` of the watch
            WatchEnded,  // the folder was removed, renamed or unmounted: the watch is over
            Lost,        // changes were dropped (too many at once): anything may have changed
        };
        Kind kind = Entry;
        int watch = -1;
        std::string name;
    };
    // The changes since the last call, oldest first; never waits.
    std::vector<Change> Take();

    // For tests: the queue acts as if it overflowed now, as a burst of
    // changes past the system's queue length makes it: what it holds is
    // dropped, and the next Take reports changes lost before what comes later.
    void ActAsOverflowed();

private:
    int fd_ = -1;
    bool overflowed_ = false;
};

}  // namespace platform
