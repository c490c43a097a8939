#include "engine/hostings/FastCgiLibraryIo.h"

#include <cerrno>
#include <cstddef>

#include "engine/hostings/FastCgiRequestArrival.h"
#include "platform/ListeningSocket.h"

namespace {

thread_local LibraryServesConnection* served = nullptr;

constexpr int StallMilliseconds = FastCgiStallSeconds * 1000;

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

// The connection the thread serves, when fd is it.
LibraryServesConnection* Served(int fd) { return served && served->Fd() == fd ? served : nullptr; }

}  // namespace

LibraryServesConnection::LibraryServesConnection(int fd, FastCgiRequestArrival& arrival) : fd_(fd), arrival_(arrival) {
    served = this;
}

LibraryServesConnection::~LibraryServesConnection() { served = nullptr; }

// The library's own functions, reached through the link's --wrap. A link
// without it fails on these names rather than leaving the reads unchecked.
extern "C" int __real_OS_Write(int fd, char* buffer, size_t length);
extern "C" int __real_OS_IpcClose(int fd, int shutdown);

extern "C" int __wrap_OS_Read(int fd, char* buffer, size_t length) {
    LibraryServesConnection* s = Served(fd);
    if (!s) {
        errno = EBADF;
        return -1;
    }
    FastCgiRequestArrival& arrival = s->Arrival();
    size_t n = arrival.Give(buffer, length);
    if (n > 0) return static_cast<int>(n);
    if (arrival.RequestEnded()) return 0;
    // The rest of the request has not come, and is not waited for.
    errno = EAGAIN;
    return -1;
}

extern "C" int __wrap_OS_Write(int fd, char* buffer, size_t length) {
    size_t written = 0;
    while (written < length) {
        int n = __real_OS_Write(fd, buffer + written, length - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else if (n == 0 || !WouldBlock() || !platform::WaitUntilReady(fd, true, StallMilliseconds)) {
            if (n < 0 && WouldBlock()) errno = ETIMEDOUT;
            return -1;
        }
    }
    return static_cast<int>(written);
}

extern "C" int __wrap_OS_Accept(int, int, const char*) {
    // Every connection comes from FastCgiConnections.
    errno = EBADF;
    return -1;
}

extern "C" int __wrap_OS_IpcClose(int fd, int) {
    if (LibraryServesConnection* s = Served(fd)) {
        s->WantClose();
        return 0;
    }
    // No other connection is the library's; its own close would linger on
    // the thread.
    return __real_OS_IpcClose(fd, 0);
}
