#include "engine/hostings/FastCgiConnections.h"

#include <algorithm>

#include "platform/ListeningSocket.h"
#include "platform/StopSignals.h"
#include "platform/Text.h"

namespace {

using Clock = std::chrono::steady_clock;

// The listening socket's key; connections have keys from 1.
constexpr uint64_t ListenKey = 0;

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
                                       int stopCheckMilliseconds)
    : listen_(listenSocket), webServers_(std::move(webServers)), stopCheckMilliseconds_(stopCheckMilliseconds) {
    ready_ = set_.Valid() && set_.Add(listen_, ListenKey);
}

FastCgiConnections::~FastCgiConnections() {
    for (const auto& [key, connection] : waiting_) platform::CloseDescriptor(connection.fd);
}

int FastCgiConnections::Next() {
    while (!platform::StopRequested()) {
        Time now = Clock::now();
        if (Milliseconds(now) >= nextSweep_.load(std::memory_order_relaxed)) CloseOverdue(now);
        uint64_t key = 0;
        if (!set_.Wait(stopCheckMilliseconds_, key)) continue;
        if (key == ListenKey) {
            int fd = Accept();
            if (fd >= 0) return fd;
            continue;
        }
        std::lock_guard<std::mutex> guard(lock_);
        auto ready = waiting_.find(key);
        if (ready == waiting_.end()) continue;  // closed meanwhile
        int fd = ready->second.fd;
        waiting_.erase(ready);
        // Bytes for a request, or the peer's end, which the reader sees.
        return fd;
    }
    return -1;
}

void FastCgiConnections::Keep(int fd) {
    if (platform::StopRequested()) {
        platform::CloseDescriptor(fd);
        return;
    }
    Wait(fd, true, false);
}

// Takes one connection waiting on the listening socket (the socket is
// reported again while more wait): the connection, when its request's bytes
// are there already (as they mostly are: a web server sends them as it
// connects), otherwise -1 and it waits with the others.
int FastCgiConnections::Accept() {
    std::string peer;
    int fd = platform::AcceptConnection(listen_, peer);
    set_.Rearm(listen_, ListenKey);
    if (fd < 0) return -1;
    bool allowed = webServers_.empty() || peer.empty() ||
                   std::find(webServers_.begin(), webServers_.end(), peer) != webServers_.end();
    if (!allowed) {
        platform::CloseDescriptor(fd);
        return -1;
    }
    if (platform::HasBytesWaiting(fd)) return fd;
    Wait(fd, false, true);
    return -1;
}

void FastCgiConnections::Wait(int fd, bool served, bool added) {
    std::lock_guard<std::mutex> guard(lock_);
    uint64_t key = nextKey_++;
    if (!(added ? set_.Add(fd, key) : set_.Rearm(fd, key))) {
        platform::CloseDescriptor(fd);
        return;
    }
    waiting_.emplace(key, Waiting{fd, Clock::now(), served});
    if (waiting_.size() > MaxWaitingFastCgiConnections) {
        platform::CloseDescriptor(waiting_.begin()->second.fd);
        waiting_.erase(waiting_.begin());
    }
}

// New connections whose time for a first request is up; looked at by
// whichever thread comes first after each stop check's interval.
void FastCgiConnections::CloseOverdue(Time now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (Milliseconds(now) < nextSweep_.load(std::memory_order_relaxed)) return;
    nextSweep_.store(Milliseconds(now) + stopCheckMilliseconds_, std::memory_order_relaxed);
    for (auto connection = waiting_.begin(); connection != waiting_.end();) {
        const Waiting& waiting = connection->second;
        if (!waiting.served && now - waiting.since >= std::chrono::seconds(FastCgiFirstBytesSeconds)) {
            platform::CloseDescriptor(waiting.fd);
            connection = waiting_.erase(connection);
        } else {
            ++connection;
        }
    }
}
