#include "platform/ListeningSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace platform {

bool IsListeningSocket(int fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) return false;
    return listening != 0;
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int AcceptConnection(int listenSocket, std::string& peerAddress) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    int fd = accept4(listenSocket, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return -1;
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const in6_addr& six = reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&six)) inet_ntop(AF_INET, six.s6_addr + 12, text, sizeof text);
        else inet_ntop(AF_INET6, &six, text, sizeof text);
    }
    peerAddress = text;
    return fd;
}

bool HasBytesWaiting(int fd) {
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

bool WaitUntilReady(int fd, bool forWriting, int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        pollfd entry{fd, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        int n = poll(&entry, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (n > 0) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

void IgnoreBrokenConnections() { signal(SIGPIPE, SIG_IGN); }

void CloseDescriptor(int fd) {
    if (fd >= 0) close(fd);
}

}  // namespace platform

// The program is linked statically, and the C library's name lookup would
// need its shared modules at run time: the link sends the FastCGI library's
// lookup of a listening address here instead (--wrap), which takes numeric
// IPv4 addresses and "localhost" only.
extern "C" hostent* __wrap_gethostbyname(const char* name) {
    static thread_local in_addr address;
    static thread_local char* addresses[2];
    static thread_local hostent entry;
    if (name && std::strcmp(name, "localhost") == 0) name = "127.0.0.1";
    if (!name || inet_pton(AF_INET, name, &address) != 1) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    addresses[0] = reinterpret_cast<char*>(&address);
    addresses[1] = nullptr;
    entry = hostent{};
    entry.h_name = const_cast<char*>(name);
    entry.h_addrtype = AF_INET;
    entry.h_length = sizeof address;
    entry.h_addr_list = addresses;
    return &entry;
}
