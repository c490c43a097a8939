// The connections of a FastCGI process that wait for a request: those newly
// taken from the listening socket and those a web server keeps open between
// requests. The idle threads of the pool wait on all of them and on the
// listening socket together; the first connection that has bytes for a
// request goes to one of them. So a thread serves a request, never an idle
// connection: a web server may keep more connections than the process has
// threads, and a peer that connects and sends nothing holds no thread.
//
// Bounds: at most MaxWaitingFastCgiConnections wait at once (the one that
// began to wait first is closed for a newer one); a new connection whose
// first bytes do not come within FastCgiFirstBytesSeconds is closed; a read
// or write that makes no progress for FastCgiStallSeconds fails, which ends
// that connection's request (FastCgiLibraryIo.h). Where the listening
// socket is a TCP one and the list of web server addresses is not empty, a
// connection from any other address is closed at once.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ReadinessSet.h"

constexpr size_t MaxWaitingFastCgiConnections = 256;
constexpr int FastCgiFirstBytesSeconds = 10;

// The web server addresses of a comma-separated list (FCGI_WEB_SERVER_ADDRS),
// spaces around each taken off.
std::vector<std::string> WebServerAddresses(const std::string& list);

class FastCgiConnections {
public:
    // listenSocket is made not to block; webServers as WebServerAddresses
    // gives them (empty: any peer). A thread waiting for a connection looks
    // for a stop request every stopCheckMilliseconds.
    FastCgiConnections(int listenSocket, std::vector<std::string> webServers, int stopCheckMilliseconds);
    // Closes every connection still waiting.
    ~FastCgiConnections();
    FastCgiConnections(const FastCgiConnections&) = delete;
    FastCgiConnections& operator=(const FastCgiConnections&) = delete;

    // False when the system could not give the wait its set.
    bool Ready() const { return ready_; }
    // Waits until a connection has bytes for a request (or was closed by its
    // peer) and hands it to the caller, who reads it and then closes or
    // keeps it; -1 once the process is asked to stop.
    int Next();
    // A connection whose request was served and that the web server keeps:
    // waits again for its next request.
    void Keep(int fd);

private:
    using Time = std::chrono::steady_clock::time_point;
    struct Waiting {
        int fd;
        Time since;   // when it began to wait
        bool served;  // it has carried a request before
    };
    int Accept();
    void Wait(int fd, bool served, bool added);
    void CloseOverdue(Time now);

    const int listen_;
    const std::vector<std::string> webServers_;
    const int stopCheckMilliseconds_;
    platform::ReadinessSet set_;
    bool ready_ = false;
    // Every waiting connection under a key of its own, in the order they
    // began to wait; a key is never given twice, so a report for a
    // connection closed meanwhile finds nothing. Arming happens under the
    // lock too, so a descriptor number closed and given again is never
    // armed with the old connection's key.
    std::mutex lock_;
    std::map<uint64_t, Waiting> waiting_;
    uint64_t nextKey_ = 1;
    std::atomic<int64_t> nextSweep_{0};  // steady clock, in milliseconds
};
