#include "platform/ListeningSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace platform {

namespace {

// An address to listen on, taken apart.
struct ParsedAddress {
    sockaddr_storage socket{};
    socklen_t size = 0;
    std::string path;  // a unix socket's
};

const char* const AddressForms =
    "give host:port (127.0.0.1:9000, localhost:9000, :9000 for every interface), [IPv6]:port "
    "([::1]:9000, [::]:9000 for every interface) or the path of a unix socket (with a /)";

bool ParsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    int n = std::stoi(text);
    if (n < 1 || n > 65535) return false;
    port = static_cast<uint16_t>(n);
    return true;
}

bool Parse(const std::string& text, ParsedAddress& address, std::string& why) {
    if (text.find('/') != std::string::npos) {
        auto* local = reinterpret_cast<sockaddr_un*>(&address.socket);
        if (text.size() >= sizeof local->sun_path) {
            why = "a unix socket's path has at most " + std::to_string(sizeof local->sun_path - 1) + " bytes";
            return false;
        }
        local->sun_family = AF_UNIX;
        std::memcpy(local->sun_path, text.data(), text.size());
        address.size = sizeof *local;
        address.path = text;
        return true;
    }
    // The port follows the last colon, after the brackets of an IPv6 address.
    size_t colon = text.rfind(':');
    if (!text.empty() && text.front() == '[' && (text.find("]:") == std::string::npos || colon < text.find("]:")))
        colon = std::string::npos;
    if (colon == std::string::npos) {
        bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        why = digits ? "a port alone is no address (127.0.0.1:" + text + " is the loopback address's, :" + text +
                           " every interface's); " + AddressForms
                     : std::string("no port; ") + AddressForms;
        return false;
    }
    std::string host = text.substr(0, colon);
    uint16_t port = 0;
    if (!ParsePort(text.substr(colon + 1), port)) {
        why = "the port is a number from 1 to 65535";
        return false;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        auto* six = reinterpret_cast<sockaddr_in6*>(&address.socket);
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &six->sin6_addr) != 1) {
            why = "not a numeric IPv6 address in brackets";
            return false;
        }
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(port);
        address.size = sizeof *six;
        return true;
    }
    if (host.find(':') != std::string::npos) {
        why = "an IPv6 address goes in brackets ([::1]:9000)";
        return false;
    }
    auto* four = reinterpret_cast<sockaddr_in*>(&address.socket);
    four->sin_family = AF_INET;
    four->sin_port = htons(port);
    address.size = sizeof *four;
    if (host.empty()) {
        four->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (host == "localhost") host = "127.0.0.1";
    if (inet_pton(AF_INET, host.c_str(), &four->sin_addr) != 1) {
        why = "the host is a numeric IPv4 address or localhost (names are not looked up); " + std::string(AddressForms);
        return false;
    }
    return true;
}

}  // namespace

bool IsListeningSocket(int fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) return false;
    return listening != 0;
}

bool IsListeningAddress(const std::string& address, std::string& why) {
    ParsedAddress parsed;
    return Parse(address, parsed, why);
}

int OpenListeningSocket(const std::string& address, int backlog, std::string& why) {
    ParsedAddress parsed;
    if (!Parse(address, parsed, why)) return -1;
    int fd = socket(parsed.socket.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (!parsed.path.empty()) {
        // An older socket left there is replaced; anything else stays.
        struct stat existing {};
        if (lstat(parsed.path.c_str(), &existing) == 0) {
            if (!S_ISSOCK(existing.st_mode)) {
                why = "something other than a socket is there";
                close(fd);
                return -1;
            }
            unlink(parsed.path.c_str());
        }
    } else {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&parsed.socket), parsed.size) != 0 || listen(fd, backlog) != 0) {
        why = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int AcceptConnection(int listenSocket, std::string& peerAddress, bool& outOfDescriptors) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    int fd = accept4(listenSocket, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    outOfDescriptors = fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
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

Received ReceiveWithoutWaiting(int fd, char* buffer, size_t size, size_t& count) {
    count = 0;
    if (size == 0) return Received::Nothing;
    for (;;) {
        ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
        if (n > 0) {
            count = static_cast<size_t>(n);
            return Received::Bytes;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::Nothing;
        return Received::Ended;
    }
}

void EndSending(int fd) { shutdown(fd, SHUT_WR); }

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
// lookup of a listening address here instead (--wrap). The program opens
// its addresses itself (OpenListeningSocket), so the library never looks
// one up: a name found here would be a mistake.
extern "C" hostent* __wrap_gethostbyname(const char*) {
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}
