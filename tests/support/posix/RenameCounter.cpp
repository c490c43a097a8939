// Counting renames into a folder with inotify.
#include <sys/inotify.h>
#include <unistd.h>

#include <stdexcept>

#include "support/ServerHarness.h"

namespace testing_support {

RenameCounter::RenameCounter(const std::string& folder, const std::string& suffix) : suffix_(suffix) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0 || inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO) < 0)
        throw std::runtime_error("cannot watch " + folder);
}

RenameCounter::~RenameCounter() {
    if (fd_ >= 0) close(fd_);
}

int RenameCounter::Count() {
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            std::string name = event->len ? event->name : "";
            if (name.size() >= suffix_.size() && name.compare(name.size() - suffix_.size(), suffix_.size(), suffix_) == 0)
                ++count_;
            p += sizeof(inotify_event) + event->len;
        }
    }
    return count_;
}

}  // namespace testing_support
