#include "engine/hostings/FastCgiLibraryIo.h"

#include <cerrno>
#include <cstddef>

#include "engine/hostings/FastCgiInputCheck.h"
#include "platform/ListeningSocket.h"

namespace {

thread_local FastCgiInputCheck threadCheck;

constexpr int StallMilliseconds = FastCgiStallSeconds * 1000;

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

// Waits for the connection to be ready; false (errno ETIMEDOUT) when the
// stall bound passed first.
bool WaitReady(int fd, bool forWriting) {
    if (platform::WaitUntilReady(fd, forWriting, StallMilliseconds)) return true;
    errno = ETIMEDOUT;
    return false;
}

}  // namespace

void RestartFastCgiInputCheck() { threadCheck.Reset(); }

// The library's own functions, reached through the link's --wrap. A link
// without it fails on these names rather than leaving the reads unchecked.
extern "C" int __real_OS_Read(int fd, char* buffer, size_t length);
extern "C" int __real_OS_Write(int fd, char* buffer, size_t length);
extern "C" int __real_OS_Accept(int listenSocket, int failOnInterrupt, const char* webServerAddresses);

extern "C" int __wrap_OS_Read(int fd, char* buffer, size_t length) {
    int n;
    while ((n = __real_OS_Read(fd, buffer, length)) < 0 && WouldBlock())
        if (!WaitReady(fd, false)) return -1;
    if (n > 0 && !threadCheck.Take(reinterpret_cast<const unsigned char*>(buffer), static_cast<size_t>(n))) {
        errno = EPROTO;
        return -1;
    }
    return n;
}

extern "C" int __wrap_OS_Write(int fd, char* buffer, size_t length) {
    size_t written = 0;
    while (written < length) {
        int n = __real_OS_Write(fd, buffer + written, length - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else if (n == 0 || !WouldBlock() || !WaitReady(fd, true)) {
            return -1;
        }
    }
    return static_cast<int>(written);
}

extern "C" int __wrap_OS_Accept(int listenSocket, int failOnInterrupt, const char* webServerAddresses) {
    // The pool's requests have no listening socket: their connections come
    // from FastCgiConnections, and one that fails is not replaced here.
    if (listenSocket < 0) {
        errno = EBADF;
        return -1;
    }
    int connection = __real_OS_Accept(listenSocket, failOnInterrupt, webServerAddresses);
    if (connection >= 0) threadCheck.Reset();
    return connection;
}
