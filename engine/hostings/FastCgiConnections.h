// The connections of a FastCGI process that wait: for a request (new ones
// taken from the listening socket, and those a web server keeps open between
// requests), for the rest of a request whose bytes are arriving, or for their
// peer's end after a response. The idle threads of the pool wait on all of
// them and on the listening socket together; bytes that arrive are read
// there, without waiting, and a connection goes to one thread only once its
// request has arrived (FastCgiRequestArrival.h). So a thread serves a
// request, never an idle or slow connection: a web server may keep more
// connections than the process has threads, and a peer that connects and
// sends nothing, or sends its request a byte at a time, holds no thread.
//
// Bounds: at most MaxWaitingFastCgiConnections wait at once, and their
// arriving requests hold at most MaxFastCgiWaitingBytes (past either, the
// connection that began to wait first is closed); a new connection whose
// first bytes do not come within FastCgiFirstBytesSeconds is closed, as is one
// whose request does not arrive in time (FastCgiRequestArrival.h); when the
// process has no descriptor left for a new connection, taking them pauses
// for FastCgiAcceptPauseMilliseconds. A connection closed with bytes of its
// request unread first says it sends no more and reads what still comes for
// at most FastCgiLingerSeconds (so that its peer reads the response, not a
// reset). Where the listening socket is a TCP one and the list of web server
// addresses is not empty, a connection from any other address is closed at
// once.
//
// A stop request: the requests that have arrived (their heads are in, on
// the connections waiting and on those not yet taken) are still handed out,
// the others closed; then no more connections are taken.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/hostings/FastCgiRequestArrival.h"
#include "platform/ReadinessSet.h"

constexpr size_t MaxWaitingFastCgiConnections = 256;
constexpr size_t MaxFastCgiWaitingBytes = 32u << 20;
constexpr int FastCgiFirstBytesSeconds = 10;
constexpr int FastCgiAcceptPauseMilliseconds = 500;
constexpr int FastCgiLingerSeconds = 2;

// The web server addresses of a comma-separated list (FCGI_WEB_SERVER_ADDRS),
// spaces around each taken off.
std::vector<std::string> WebServerAddresses(const std::string& list);

// A connection and the request arriving on it.
struct FastCgiConnection {
    FastCgiConnection(int descriptor, uint32_t waitedBodyBytes) : fd(descriptor), arrival(waitedBodyBytes) {}
    int fd;
    FastCgiRequestArrival arrival;
    bool served = false;   // it has carried a request before
    uint64_t key = 0;      // its key while it waits (0: none yet)
    bool watched = false;  // the wait's set has seen it
};

class FastCgiConnections {
public:
    // listenSocket is made not to block; webServers as WebServerAddresses
    // gives them (empty: any peer); waitedBodyBytes: the most of a body the
    // program waits for. A thread waiting for a connection looks for a stop
    // request every stopCheckMilliseconds.
    FastCgiConnections(int listenSocket, std::vector<std::string> webServers, uint32_t waitedBodyBytes,
                       int stopCheckMilliseconds);
    // Closes every connection still waiting.
    ~FastCgiConnections();
    FastCgiConnections(const FastCgiConnections&) = delete;
    FastCgiConnections& operator=(const FastCgiConnections&) = delete;

    // False when the system could not give the wait its set.
    bool Ready() const { return ready_; }
    // Waits until a connection's request has arrived and hands it to the
    // caller, who serves it and gives it back to Served; null once the
    // process is asked to stop and every request that had arrived is handed
    // out.
    std::unique_ptr<FastCgiConnection> Next();
    // A connection whose request was served: it waits for its next request
    // when keep is true and every byte of the request was read (then
    // returned at once if that request is there already), or is closed.
    std::unique_ptr<FastCgiConnection> Served(std::unique_ptr<FastCgiConnection> connection, bool keep);

private:
    using Time = std::chrono::steady_clock::time_point;
    struct Waiting {
        std::unique_ptr<FastCgiConnection> connection;
        Time since;           // when it began to wait
        bool closing = false;  // its response is sent: waiting for its peer's end
    };
    std::unique_ptr<FastCgiConnection> Accept(Time now);
    std::unique_ptr<FastCgiConnection> Admit(int fd, const std::string& peer, Time now);
    void Insert(Waiting waiting);
    void KeepWithinBounds();
    std::map<uint64_t, Waiting>::iterator Erase(std::map<uint64_t, Waiting>::iterator waiting);
    void Linger(std::unique_ptr<FastCgiConnection> connection);
    static bool Lingered(Waiting& waiting);
    static void Close(std::unique_ptr<FastCgiConnection> connection);
    void Sweep(Time now);
    void BeginStop(Time now);

    const int listen_;
    const std::vector<std::string> webServers_;
    const uint32_t waitedBodyBytes_;
    const int stopCheckMilliseconds_;
    platform::ReadinessSet set_;
    bool ready_ = false;
    // Every waiting connection under a key of its own, in the order they
    // began to wait; a key is never given to another connection, so a report
    // for a connection closed meanwhile finds nothing. Arming happens under
    // the lock too, so a descriptor number closed and given again is never
    // armed with the old connection's key.
    std::mutex lock_;
    std::map<uint64_t, Waiting> waiting_;
    size_t waitingBytes_ = 0;  // what the waiting connections' requests hold
    uint64_t nextKey_ = 1;
    bool listenPaused_ = false;
    Time listenResumes_;
    // Once asked to stop: the requests that had arrived, to hand out.
    bool stopping_ = false;
    std::deque<std::unique_ptr<FastCgiConnection>> arrived_;
    std::atomic<int64_t> nextSweep_{0};  // steady clock, in milliseconds
};
