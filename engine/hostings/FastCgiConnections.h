// The connections of a FastCGI process that wait for a request: those newly
// taken from the listening socket and those a web server keeps open between
// requests. One idle thread at a time watches all of them with the
// listening socket and hands out the first that has bytes for a request, so
// a thread serves a request, never an idle connection: a web server may keep
// more connections than the process has threads, and a peer that connects
// and sends nothing holds no thread.
//
// Bounds: at most MaxWaitingFastCgiConnections wait at once (the one that
// waited longest is closed for a newer one); a new connection whose first
// bytes do not come within FastCgiFirstBytesSeconds is closed; a read or
// write that makes no progress for FastCgiStallSeconds fails, which ends that
// connection's request (FastCgiLibraryIo.h). Where the listening socket is a TCP one and the
// list of web server addresses is not empty, a connection from any other
// address is closed at once.
#pragma once
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "engine/hostings/FastCgiLibraryIo.h"
#include "platform/ListeningSocket.h"

constexpr size_t MaxWaitingFastCgiConnections = 256;
constexpr int FastCgiFirstBytesSeconds = 10;

// The web server addresses of a comma-separated list (FCGI_WEB_SERVER_ADDRS),
// spaces around each taken off.
std::vector<std::string> WebServerAddresses(const std::string& list);

class FastCgiConnections {
public:
    // listenSocket is made not to block; webServers as WebServerAddresses
    // gives them (empty: any peer).
    FastCgiConnections(int listenSocket, std::vector<std::string> webServers, int stopCheckMilliseconds);
    // Closes every connection still waiting.
    ~FastCgiConnections();
    FastCgiConnections(const FastCgiConnections&) = delete;
    FastCgiConnections& operator=(const FastCgiConnections&) = delete;

    // Waits until a connection has bytes for a request (or was closed by its
    // peer) and hands it to the caller, who reads it and then closes or
    // keeps it; -1 once the process is asked to stop.
    int Next();
    // A connection whose request was served and that the web server keeps:
    // watched again until its next request.
    void Keep(int fd);

private:
    using Time = std::chrono::steady_clock::time_point;
    struct Waiting {
        int fd;
        Time since;  // when it began to wait
        bool served;  // it has carried a request before
    };
    int Watch();
    void TakeKept();
    void AcceptWaiting(Time now);
    void CloseOverdue(Time now);
    int Deadline(Time now) const;

    const int listen_;
    const std::vector<std::string> webServers_;
    const int stopCheckMilliseconds_;
    std::mutex watching_;           // held by the one thread that watches
    std::vector<Waiting> waiting_;  // the watcher's own
    std::mutex keptLock_;
    std::vector<int> kept_;  // handed back by the threads, not yet watched
    platform::WakeSignal wake_;
};
