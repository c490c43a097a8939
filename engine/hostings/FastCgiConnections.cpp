#include "engine/hostings/FastCgiConnections.h"

#include <algorithm>
#include <optional>

#include "platform/ListeningSocket.h"
#include "platform/StopSignals.h"
#include "platform/Text.h"

namespace {

using Clock = std::chrono::steady_clock;

// The listening socket's key; connections have keys from 1.
constexpr uint64_t ListenKey = 0;
// A lingering connection's bytes are read and dropped in pieces of this
// size, at most a few pieces each time it is reported.
constexpr size_t LingerPiece = 16 * 1024;
constexpr int LingerPiecesAtOnce = 4;

int64_t Milliseconds(Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

std::vector<std::string> WebServerAddresses(const std::string& list) {
    std::vector<std::string> addresses;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string address = text::Trim(list.substr(start, comma - start));
        if (!address.empty()) addresses.push_back(address);
        start = comma + 1;
    }
    return addresses;
}

FastCgiConnections::FastCgiConnections(int listenSocket, std::vector<std::string> webServers,
                                       uint32_t waitedBodyBytes, int stopCheckMilliseconds)
    : listen_(listenSocket),
      webServers_(std::move(webServers)),
      waitedBodyBytes_(waitedBodyBytes),
      stopCheckMilliseconds_(stopCheckMilliseconds) {
    ready_ = set_.Valid() && set_.Add(listen_, ListenKey);
}

FastCgiConnections::~FastCgiConnections() {
    for (const auto& [key, waiting] : waiting_) platform::CloseDescriptor(waiting.connection->fd);
    for (const auto& connection : arrived_) platform::CloseDescriptor(connection->fd);
}

std::unique_ptr<FastCgiConnection> FastCgiConnections::Next() {
    for (;;) {
        Time now = Clock::now();
        if (platform::StopRequested()) {
            std::lock_guard<std::mutex> guard(lock_);
            if (!stopping_) BeginStop(now);
            if (!arrived_.empty()) {
                std::unique_ptr<FastCgiConnection> connection = std::move(arrived_.front());
                arrived_.pop_front();
                return connection;
            }
            // What still waits is a request whose body is arriving, or a
            // response's peer not yet gone.
            if (waiting_.empty()) return nullptr;
        }
        if (Milliseconds(now) >= nextSweep_.load(std::memory_order_relaxed)) Sweep(now);
        uint64_t key = 0;
        if (!set_.Wait(stopCheckMilliseconds_, key)) continue;
        now = Clock::now();
        if (key == ListenKey) {
            std::unique_ptr<FastCgiConnection> connection = Accept(now);
            if (connection) return connection;
            continue;
        }
        Waiting waiting;
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto reported = waiting_.find(key);
            if (reported == waiting_.end()) continue;  // closed meanwhile
            waiting = std::move(reported->second);
            waiting_.erase(reported);
            waitingBytes_ -= waiting.connection->arrival.Held();
        }
        if (waiting.closing) {
            if (Lingered(waiting)) {
                Close(std::move(waiting.connection));
            } else {
                std::lock_guard<std::mutex> guard(lock_);
                Insert(std::move(waiting));
            }
            continue;
        }
        FastCgiConnection& connection = *waiting.connection;
        FastCgiRequestArrival::Progress progress = connection.arrival.ReadFrom(connection.fd, now);
        if (progress == FastCgiRequestArrival::Progress::Ready) return std::move(waiting.connection);
        if (progress == FastCgiRequestArrival::Progress::Refused) {
            Close(std::move(waiting.connection));
            continue;
        }
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_ && !connection.arrival.HeadIn()) {
            platform::CloseDescriptor(connection.fd);
            continue;
        }
        Insert(std::move(waiting));
    }
}

std::unique_ptr<FastCgiConnection> FastCgiConnections::Served(std::unique_ptr<FastCgiConnection> connection,
                                                              bool keep) {
    FastCgiConnection& c = *connection;
    if (keep && !platform::StopRequested() && c.arrival.ReadToRequestEnd(c.fd)) {
        Time now = Clock::now();
        c.served = true;
        FastCgiRequestArrival::Progress progress = c.arrival.NextRequest(now);
        if (progress == FastCgiRequestArrival::Progress::Ready) return connection;
        if (progress == FastCgiRequestArrival::Progress::Refused) {
            Close(std::move(connection));
        } else {
            std::lock_guard<std::mutex> guard(lock_);
            c.key = 0;
            Insert(Waiting{std::move(connection), now, false});
        }
        return nullptr;
    }
    if (c.arrival.RequestEnded()) Close(std::move(connection));
    else Linger(std::move(connection));
    return nullptr;
}

// Takes one connection waiting on the listening socket (the socket is
// reported again while more wait): the connection, when its request is there
// already (as it mostly is: a web server sends it as it connects), otherwise
// null and it waits with the others.
std::unique_ptr<FastCgiConnection> FastCgiConnections::Accept(Time now) {
    std::string peer;
    bool outOfDescriptors = false;
    int fd = -1;
    {
        // Once stopping, the stop's own look took the last connections.
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) return nullptr;
        fd = platform::AcceptConnection(listen_, peer, outOfDescriptors);
        if (fd < 0 && outOfDescriptors) {
            // Not armed again until the pause is over (Sweep): with no
            // descriptor to give, every look would fail at once.
            listenPaused_ = true;
            listenResumes_ = now + std::chrono::milliseconds(FastCgiAcceptPauseMilliseconds);
            return nullptr;
        }
        set_.Rearm(listen_, ListenKey);
    }
    if (fd < 0) return nullptr;
    return Admit(fd, peer, now);
}

// A connection just taken: refused unless its peer is a web server listed,
// returned when its request has arrived, otherwise waiting.
std::unique_ptr<FastCgiConnection> FastCgiConnections::Admit(int fd, const std::string& peer, Time now) {
    bool allowed = webServers_.empty() || peer.empty() ||
                   std::find(webServers_.begin(), webServers_.end(), peer) != webServers_.end();
    if (!allowed) {
        platform::CloseDescriptor(fd);
        return nullptr;
    }
    auto connection = std::make_unique<FastCgiConnection>(fd, waitedBodyBytes_);
    FastCgiRequestArrival::Progress progress = connection->arrival.ReadFrom(fd, now);
    if (progress == FastCgiRequestArrival::Progress::Ready) return connection;
    if (progress == FastCgiRequestArrival::Progress::Refused) {
        Close(std::move(connection));
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_ && !connection->arrival.HeadIn()) {
        platform::CloseDescriptor(connection->fd);
        return nullptr;
    }
    Insert(Waiting{std::move(connection), now, false});
    return nullptr;
}

// Under the lock: the connection waits under its key (a new one unless it
// was reported and goes on waiting), armed for its next bytes.
void FastCgiConnections::Insert(Waiting waiting) {
    FastCgiConnection& c = *waiting.connection;
    if (c.key == 0) c.key = nextKey_++;
    if (!(c.watched ? set_.Rearm(c.fd, c.key) : set_.Add(c.fd, c.key))) {
        platform::CloseDescriptor(c.fd);
        return;
    }
    c.watched = true;
    waitingBytes_ += c.arrival.Held();
    waiting_.emplace(c.key, std::move(waiting));
    KeepWithinBounds();
}

// Under the lock: past the number that may wait, or the bytes their
// requests may hold, the connections that began to wait first are closed.
void FastCgiConnections::KeepWithinBounds() {
    while (waiting_.size() > MaxWaitingFastCgiConnections) Erase(waiting_.begin());
    for (auto connection = waiting_.begin(); waitingBytes_ > MaxFastCgiWaitingBytes && connection != waiting_.end();) {
        if (connection->second.connection->arrival.Held() > 0) connection = Erase(connection);
        else ++connection;
    }
}

// Under the lock: closes a waiting connection.
std::map<uint64_t, FastCgiConnections::Waiting>::iterator FastCgiConnections::Erase(
    std::map<uint64_t, Waiting>::iterator waiting) {
    waitingBytes_ -= waiting->second.connection->arrival.Held();
    platform::CloseDescriptor(waiting->second.connection->fd);
    return waiting_.erase(waiting);
}

// A response is sent, and bytes of its request were left unread: the peer
// may still be sending them. Closing now could make its system drop the
// response it has not read yet (TCP answers bytes arriving at a closed
// socket with a reset): the connection sends no more and waits, without a
// thread, for its peer's end, reading what comes, for a while.
void FastCgiConnections::Linger(std::unique_ptr<FastCgiConnection> connection) {
    platform::EndSending(connection->fd);
    connection->arrival = FastCgiRequestArrival(0);  // nothing of it is read any more
    connection->key = 0;
    std::lock_guard<std::mutex> guard(lock_);
    Insert(Waiting{std::move(connection), Clock::now(), true});
}

// Reads and drops what a lingering connection holds; true at its peer's end.
bool FastCgiConnections::Lingered(Waiting& waiting) {
    char piece[LingerPiece];
    for (int i = 0; i < LingerPiecesAtOnce; ++i) {
        size_t got = 0;
        platform::Received received = platform::ReceiveWithoutWaiting(waiting.connection->fd, piece, sizeof piece, got);
        if (received == platform::Received::Ended) return true;
        if (received == platform::Received::Nothing) return false;
    }
    return false;
}

void FastCgiConnections::Close(std::unique_ptr<FastCgiConnection> connection) {
    platform::CloseDescriptor(connection->fd);
}

// Closes the waiting connections whose time is up, and takes connections
// again after a pause; done by whichever thread comes first after each stop
// check's interval.
void FastCgiConnections::Sweep(Time now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (Milliseconds(now) < nextSweep_.load(std::memory_order_relaxed)) return;
    nextSweep_.store(Milliseconds(now) + stopCheckMilliseconds_, std::memory_order_relaxed);
    if (listenPaused_ && now >= listenResumes_ && !stopping_) {
        listenPaused_ = false;
        set_.Rearm(listen_, ListenKey);
    }
    for (auto waiting = waiting_.begin(); waiting != waiting_.end();) {
        const Waiting& w = waiting->second;
        std::optional<Time> deadline;
        if (w.closing) deadline = w.since + std::chrono::seconds(FastCgiLingerSeconds);
        else if (w.connection->arrival.Begun()) deadline = w.connection->arrival.Deadline();
        else if (!w.connection->served) deadline = w.since + std::chrono::seconds(FastCgiFirstBytesSeconds);
        if (deadline && now >= *deadline) waiting = Erase(waiting);
        else ++waiting;
    }
}

// Under the lock, once, when the process is asked to stop: of the
// connections not yet taken and those waiting, the ones whose request has
// arrived are handed out, those whose head is in wait for the rest, and the
// others are closed. No connection is taken after this.
void FastCgiConnections::BeginStop(Time now) {
    stopping_ = true;
    std::vector<std::unique_ptr<FastCgiConnection>> looked;
    for (size_t taken = 0; taken < MaxWaitingFastCgiConnections; ++taken) {
        std::string peer;
        bool outOfDescriptors = false;
        int fd = platform::AcceptConnection(listen_, peer, outOfDescriptors);
        if (fd < 0) break;
        bool allowed = webServers_.empty() || peer.empty() ||
                       std::find(webServers_.begin(), webServers_.end(), peer) != webServers_.end();
        if (allowed) looked.push_back(std::make_unique<FastCgiConnection>(fd, waitedBodyBytes_));
        else platform::CloseDescriptor(fd);
    }
    for (auto waiting = waiting_.begin(); waiting != waiting_.end();) {
        if (waiting->second.closing) {
            ++waiting;
            continue;
        }
        waitingBytes_ -= waiting->second.connection->arrival.Held();
        looked.push_back(std::move(waiting->second.connection));
        waiting = waiting_.erase(waiting);
    }
    for (auto& connection : looked) {
        FastCgiRequestArrival::Progress progress = connection->arrival.ReadFrom(connection->fd, now);
        if (progress == FastCgiRequestArrival::Progress::Ready) arrived_.push_back(std::move(connection));
        else if (progress == FastCgiRequestArrival::Progress::Waiting && connection->arrival.HeadIn())
            Insert(Waiting{std::move(connection), now, false});
        else platform::CloseDescriptor(connection->fd);
    }
}
