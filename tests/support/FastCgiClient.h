// Driving the FastCGI hosting from tests: the built program started as a
// FastCGI server on a unix socket (handed on standard input, as web servers
// start it, or named on its command line), and a small client that speaks
// the protocol's responder role to it, one connection per request.
#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testing_support {

struct FastCgiResponse {
    bool ended = false;       // an end-of-request record arrived
    int appStatus = -1;
    int protocolStatus = -1;
    std::string out;          // the standard output stream's bytes
    std::string err;          // the error stream's bytes
};

// Sends one request (the variables as parameters, the body as standard input)
// and reads the response until the end-of-request record or the connection's
// end. beforeBody, when given, runs after the parameters are sent and before
// the body is.
FastCgiResponse FastCgiRequest(const std::string& socketPath, const std::map<std::string, std::string>& params,
                               const std::string& body = "", double timeoutSeconds = 60,
                               const std::function<void()>& beforeBody = {});

// One connection kept open from request to request, as a web server that
// keeps its connections to the program uses it: each request asks the
// program to keep the connection.
class FastCgiKeptConnection {
public:
    explicit FastCgiKeptConnection(const std::string& socketPath);
    ~FastCgiKeptConnection();
    FastCgiKeptConnection(const FastCgiKeptConnection&) = delete;
    FastCgiKeptConnection& operator=(const FastCgiKeptConnection&) = delete;
    bool Connected() const { return fd_ >= 0; }
    // Sends one request and reads its response (not ended if none came).
    FastCgiResponse Request(const std::map<std::string, std::string>& params, const std::string& body = "",
                            double timeoutSeconds = 30);
    // Sends bytes as they are.
    bool Send(const std::string& bytes);
    // Reads one response to what was sent (not ended if none came).
    FastCgiResponse Receive(double timeoutSeconds);
    // Whether the program closes the connection within the time.
    bool ClosedByServer(double seconds);

private:
    int fd_;
};

// The name-value pairs of a parameters record's content.
std::string FastCgiPairs(const std::map<std::string, std::string>& params);

// One record as a web server writes it (content of at most 65535 bytes),
// padded to a multiple of eight.
std::string FastCgiRecord(unsigned char type, const std::string& content, int requestId = 1);

// What a peer that is no web server might send: the bytes as they are, then
// everything the program writes back until it closes the connection or the
// time is up. closedByServer says which came first.
struct FastCgiRawAnswer {
    std::string bytes;
    bool closedByServer = false;
};
FastCgiRawAnswer FastCgiRawExchange(const std::string& socketPath, const std::string& bytes, double timeoutSeconds);

// A TCP port on the loopback address that was free a moment ago.
int FreeLoopbackPort();

class FastCgiServer {
public:
    enum class Start { SocketOnStandardInput, AddressArgument, LoopbackPort, IPv6LoopbackPort, OwnArguments };
    // Starts program in workingFolder with exactly env; with
    // SocketOnStandardInput the socket is made here and handed over,
    // otherwise the program is told "--fastcgi <socket>" (LoopbackPort:
    // "--fastcgi 127.0.0.1:PORT", IPv6LoopbackPort: "--fastcgi [::1]:PORT")
    // plus extraArgs; with OwnArguments it is told extraArgs alone.
    // SocketPath() is what the requests here connect to (a unix socket's
    // path, or host:port with an IPv6 host in brackets). descriptorLimit,
    // when above 0, is the program's limit of open files.
    FastCgiServer(const std::string& program, const std::string& workingFolder,
                  const std::map<std::string, std::string>& env, Start start,
                  const std::vector<std::string>& extraArgs = {}, int descriptorLimit = 0);
    ~FastCgiServer();
    FastCgiServer(const FastCgiServer&) = delete;
    FastCgiServer& operator=(const FastCgiServer&) = delete;
    const std::string& SocketPath() const { return socketPath_; }
    std::string ErrorOutput() const;  // what the program wrote to standard error
    void Signal(int signal) const;
    // Waits up to seconds for the program to end; true when it did.
    bool WaitExit(double seconds);
    int ExitCode() const { return exitCode_; }
    bool Running();
    // The processor time the program has used so far, user and system.
    double CpuSeconds() const;
    int Pid() const { return pid_; }

private:
    TempDir dir_;
    std::string socketPath_;
    int pid_ = -1;
    bool ended_ = false;
    int exitCode_ = -1;
};

}  // namespace testing_support
