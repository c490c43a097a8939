#include "platform/ChangeQueue.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace platform {

ChangeQueue::ChangeQueue() { fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

ChangeQueue::~ChangeQueue() {
    if (fd_ >= 0) ::close(fd_);
}

int ChangeQueue::Watch(const std::string& folder) {
    if (fd_ < 0) return -1;
    // Reading a file is no change; finishing a write is one even when the
    // writer's own modifications were merged into an earlier event.
    uint32_t mask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    int watch = inotify_add_watch(fd_, folder.c_str(), mask);
    return watch < 0 ? -1 : watch;
}

void ChangeQueue::Unwatch(int watch) {
    if (fd_ >= 0 && watch >= 0) inotify_rm_watch(fd_, watch);
}

void ChangeQueue::ActAsOverflowed() {
    if (fd_ < 0) return;
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    overflowed_ = true;
}

std::vector<ChangeQueue::Change> ChangeQueue::Take() {
    std::vector<Change> changes;
    if (fd_ < 0) return changes;
    if (overflowed_) {
        overflowed_ = false;
        Change lost;
        lost.kind = Change::Lost;
        changes.push_back(lost);
    }
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EAGAIN: nothing more queued
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof(inotify_event);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if (at > n) break;  // the kernel never splits an event; be safe anyway
            Change change;
            change.watch = event.wd;
            if (event.mask & IN_Q_OVERFLOW) {
                change.kind = Change::Lost;
            } else if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                change.kind = Change::WatchEnded;
            } else {
                change.kind = Change::Entry;
                if (event.len > 0) change.name.assign(name, strnlen(name, event.len));
            }
            changes.push_back(std::move(change));
        }
        // Room left for one more event of any size: the queue was empty (the
        // next call sees what comes later), and asking again would only say so.
        if (n < static_cast<ssize_t>(sizeof buffer - sizeof(inotify_event) - NAME_MAX - 1)) break;
    }
    return changes;
}

}  // namespace platform
