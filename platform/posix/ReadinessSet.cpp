#include "platform/ReadinessSet.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

ReadinessSet::ReadinessSet() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}

ReadinessSet::~ReadinessSet() {
    if (fd_ >= 0) close(fd_);
}

namespace {

bool Control(int set, int operation, int fd, uint64_t key) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = key;
    return epoll_ctl(set, operation, fd, &event) == 0;
}

}  // namespace

bool ReadinessSet::Add(int fd, uint64_t key) { return Control(fd_, EPOLL_CTL_ADD, fd, key); }

bool ReadinessSet::Rearm(int fd, uint64_t key) {
    return Control(fd_, EPOLL_CTL_MOD, fd, key) || (errno == ENOENT && Add(fd, key));
}

bool ReadinessSet::Wait(int milliseconds, uint64_t& key) {
    epoll_event event{};
    if (epoll_wait(fd_, &event, 1, milliseconds) != 1) return false;
    key = event.data.u64;
    return true;
}

}  // namespace platform
