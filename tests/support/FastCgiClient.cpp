#include "support/FastCgiClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

enum : unsigned char { BeginRequest = 1, EndRequest = 3, Params = 4, Stdin = 5, Stdout = 6, Stderr = 7 };
constexpr int RequestId = 1;
constexpr size_t MaxRecordContent = 65535;

std::string Record(unsigned char type, const std::string& content, int requestId = RequestId) {
    std::string r;
    r += char(1);
    r += char(type);
    r += char(requestId >> 8);
    r += char(requestId & 0xff);
    r += char(content.size() >> 8);
    r += char(content.size() & 0xff);
    size_t padding = (8 - content.size() % 8) % 8;
    r += char(padding);
    r += char(0);
    r += content;
    r.append(padding, '\0');
    return r;
}

// A stream's content as records of at most the largest size, then the empty
// record that ends it.
std::string StreamRecords(unsigned char type, const std::string& content) {
    std::string r;
    for (size_t at = 0; at < content.size(); at += MaxRecordContent)
        r += Record(type, content.substr(at, MaxRecordContent));
    return r + Record(type, "");
}

void Length(std::string& out, size_t n) {
    if (n < 128) {
        out += char(n);
    } else {
        out += char(0x80 | (n >> 24));
        out += char((n >> 16) & 0xff);
        out += char((n >> 8) & 0xff);
        out += char(n & 0xff);
    }
}

bool SendAll(int fd, const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// A unix socket's path, or "HOST:PORT" for a TCP port (a numeric IPv4
// address, or an IPv6 one in brackets).
int Connect(const std::string& path) {
    if (path.find('/') == std::string::npos) {
        size_t colon = path.rfind(':');
        std::string host = path.substr(0, colon);
        uint16_t port = static_cast<uint16_t>(std::stoi(path.substr(colon + 1)));
        sockaddr_storage address{};
        socklen_t size = 0;
        if (host.size() > 2 && host.front() == '[') {
            auto* six = reinterpret_cast<sockaddr_in6*>(&address);
            six->sin6_family = AF_INET6;
            six->sin6_port = htons(port);
            if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &six->sin6_addr) != 1) return -1;
            size = sizeof *six;
        } else {
            auto* four = reinterpret_cast<sockaddr_in*>(&address);
            four->sin_family = AF_INET;
            four->sin_port = htons(port);
            if (inet_pton(AF_INET, host.c_str(), &four->sin_addr) != 1) return -1;
            size = sizeof *four;
        }
        int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string FastCgiPairs(const std::map<std::string, std::string>& params) {
    std::string out;
    for (const auto& [name, value] : params) {
        Length(out, name.size());
        Length(out, value.size());
        out += name;
        out += value;
    }
    return out;
}

std::string FastCgiRecord(unsigned char type, const std::string& content, int requestId) {
    return Record(type, content, requestId);
}

FastCgiRawAnswer FastCgiRawExchange(const std::string& socketPath, const std::string& bytes, double timeoutSeconds) {
    FastCgiRawAnswer answer;
    int fd = Connect(socketPath);
    if (fd < 0) return answer;
    // Sent from its own thread: the program may stop reading at any point.
    std::thread sender([fd, &bytes] { SendAll(fd, bytes); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, left) <= 0) break;
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            answer.closedByServer = true;
            break;
        }
        answer.bytes.append(buffer, static_cast<size_t>(n));
    }
    shutdown(fd, SHUT_RDWR);
    sender.join();
    close(fd);
    return answer;
}

namespace {

// The records of one request: its beginning (asking the server to keep the
// connection, or not), its parameters, then its body.
std::string RequestHead(const std::map<std::string, std::string>& params, bool keepConnection) {
    std::string begin(8, '\0');
    begin[1] = 1;  // the responder role
    begin[2] = keepConnection ? 1 : 0;
    return Record(BeginRequest, begin) + StreamRecords(Params, FastCgiPairs(params));
}

// Reads one response from the connection, until its end-of-request record,
// the connection's end or the time is up; bytes after the end stay unread.
FastCgiResponse ReadResponse(int fd, double timeoutSeconds) {
    FastCgiResponse response;
    std::string in;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        // Take whole records from what arrived.
        while (in.size() >= 8 && !response.ended) {
            size_t length = (static_cast<unsigned char>(in[4]) << 8) | static_cast<unsigned char>(in[5]);
            size_t total = 8 + length + static_cast<unsigned char>(in[6]);
            if (in.size() < total) break;
            unsigned char type = static_cast<unsigned char>(in[1]);
            std::string content = in.substr(8, length);
            in.erase(0, total);
            if (type == Stdout) response.out += content;
            if (type == Stderr) response.err += content;
            if (type == EndRequest && content.size() >= 5) {
                response.ended = true;
                response.appStatus = (static_cast<unsigned char>(content[0]) << 24) |
                                     (static_cast<unsigned char>(content[1]) << 16) |
                                     (static_cast<unsigned char>(content[2]) << 8) |
                                     static_cast<unsigned char>(content[3]);
                response.protocolStatus = static_cast<unsigned char>(content[4]);
            }
        }
        if (response.ended) break;
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, left) <= 0) break;
        // One record header at a time at the end, so that nothing of a
        // following response is taken.
        char buffer[65536];
        size_t want = in.size() >= 8
                          ? 8 + ((static_cast<unsigned char>(in[4]) << 8) | static_cast<unsigned char>(in[5])) +
                                static_cast<unsigned char>(in[6]) - in.size()
                          : 8 - in.size();
        ssize_t n = recv(fd, buffer, std::min(want, sizeof buffer), 0);
        if (n <= 0) break;
        in.append(buffer, static_cast<size_t>(n));
    }
    return response;
}

}  // namespace

FastCgiResponse FastCgiRequest(const std::string& socketPath, const std::map<std::string, std::string>& params,
                               const std::string& body, double timeoutSeconds,
                               const std::function<void()>& beforeBody) {
    int fd = Connect(socketPath);
    if (fd < 0) return {};
    std::string head = RequestHead(params, false);
    std::string rest = StreamRecords(Stdin, body);
    // The body is sent from its own thread: a server may answer before it
    // has read everything.
    std::thread sender([fd, &head, &rest, &beforeBody] {
        if (!SendAll(fd, head)) return;
        if (beforeBody) beforeBody();
        SendAll(fd, rest);
    });
    FastCgiResponse response = ReadResponse(fd, timeoutSeconds);
    shutdown(fd, SHUT_RDWR);
    sender.join();
    close(fd);
    return response;
}

FastCgiKeptConnection::FastCgiKeptConnection(const std::string& socketPath) : fd_(Connect(socketPath)) {}

FastCgiKeptConnection::~FastCgiKeptConnection() {
    if (fd_ >= 0) close(fd_);
}

FastCgiResponse FastCgiKeptConnection::Request(const std::map<std::string, std::string>& params,
                                               const std::string& body, double timeoutSeconds) {
    if (fd_ < 0 || !SendAll(fd_, RequestHead(params, true) + StreamRecords(Stdin, body))) return {};
    return ReadResponse(fd_, timeoutSeconds);
}

bool FastCgiKeptConnection::Send(const std::string& bytes) { return fd_ >= 0 && SendAll(fd_, bytes); }

FastCgiResponse FastCgiKeptConnection::Receive(double timeoutSeconds) {
    return fd_ < 0 ? FastCgiResponse() : ReadResponse(fd_, timeoutSeconds);
}

int FreeLoopbackPort() {
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("no free port");
    close(probe);
    return ntohs(address.sin_port);
}

bool FastCgiKeptConnection::ClosedByServer(double seconds) {
    pollfd entry{fd_, POLLIN, 0};
    if (fd_ < 0 || poll(&entry, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
    char byte;
    return recv(fd_, &byte, 1, MSG_PEEK) <= 0;
}

FastCgiServer::FastCgiServer(const std::string& program, const std::string& workingFolder,
                             const std::map<std::string, std::string>& env, Start start,
                             const std::vector<std::string>& extraArgs, int descriptorLimit)
    : socketPath_(dir_ / "fcgi.sock") {
    int listening = -1;
    std::vector<std::string> args;
    if (start == Start::SocketOnStandardInput) {
        listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
        if (bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listening, 64) != 0)
            throw std::runtime_error("cannot listen on " + socketPath_);
    } else if (start == Start::LoopbackPort) {
        socketPath_ = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
        args = {"--fastcgi", socketPath_};
    } else if (start == Start::IPv6LoopbackPort) {
        socketPath_ = "[::1]:" + std::to_string(FreeLoopbackPort());
        args = {"--fastcgi", socketPath_};
    } else if (start == Start::AddressArgument) {
        args = {"--fastcgi", socketPath_};
    }
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    // A sanitizer build's settings reach the server (a race found there ends it).
    std::map<std::string, std::string> environment = env;
    for (const char* name : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* value = getenv(name)) environment.emplace(name, value);
    ExecVectors vectors(program, args, environment);
    std::string errors = dir_ / "stderr";
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(listening >= 0 ? listening : null, 0);
        dup2(null, 1);
        dup2(err, 2);
        if (chdir(workingFolder.c_str()) != 0) _exit(126);
        if (descriptorLimit > 0) {
            rlimit limit{static_cast<rlim_t>(descriptorLimit), static_cast<rlim_t>(descriptorLimit)};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
        }
        execve(program.c_str(), vectors.Argv(), vectors.Envp());
        _exit(127);
    }
    if (listening >= 0) close(listening);
    // Ready once a connection is taken.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && Running()) {
        int fd = Connect(socketPath_);
        if (fd >= 0) {
            close(fd);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

FastCgiServer::~FastCgiServer() {
    if (!ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string FastCgiServer::ErrorOutput() const { return Exists(dir_ / "stderr") ? ReadFile(dir_ / "stderr") : ""; }

void FastCgiServer::Signal(int signal) const {
    if (!ended_) kill(pid_, signal);
}

bool FastCgiServer::Running() {
    if (ended_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        ended_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

double FastCgiServer::CpuSeconds() const {
    std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
    // The fields after the command's name, which may hold blanks itself:
    // the state is the first, user and system time the 12th and 13th.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i)
        if (i >= 12) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool FastCgiServer::WaitExit(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (Running()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace testing_support
