#include "engine/hostings/FastCgiConnections.h"

#include <algorithm>

#include "platform/StopSignals.h"
#include "platform/Text.h"

namespace {

using Clock = std::chrono::steady_clock;

// The watch's first two descriptors; the waiting connections follow.
constexpr size_t WakeIndex = 0;
constexpr size_t ListenIndex = 1;
constexpr size_t FirstWaitingIndex = 2;

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
    : listen_(listenSocket), webServers_(std::move(webServers)), stopCheckMilliseconds_(stopCheckMilliseconds) {}

FastCgiConnections::~FastCgiConnections() {
    for (const Waiting& connection : waiting_) platform::CloseDescriptor(connection.fd);
    for (int fd : kept_) platform::CloseDescriptor(fd);
}

int FastCgiConnections::Next() {
    std::lock_guard<std::mutex> guard(watching_);
    return Watch();
}

void FastCgiConnections::Keep(int fd) {
    if (platform::StopRequested()) {
        platform::CloseDescriptor(fd);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(keptLock_);
        kept_.push_back(fd);
    }
    wake_.Raise();
}

// Runs on the one thread that watches. The wake is cleared before the kept
// connections are taken, so a connection kept meanwhile raises it again.
int FastCgiConnections::Watch() {
    while (!platform::StopRequested()) {
        Time now = Clock::now();
        TakeKept();
        CloseOverdue(now);
        std::vector<int> fds{wake_.Descriptor(), listen_};
        for (const Waiting& connection : waiting_) fds.push_back(connection.fd);
        bool accept = false;
        for (size_t index : platform::WaitForReadable(fds, Deadline(now))) {
            if (index == WakeIndex) {
                wake_.Clear();
            } else if (index == ListenIndex) {
                accept = true;
            } else {
                // Bytes for a request, or the peer's end, which the reader sees.
                auto ready = waiting_.begin() + static_cast<std::ptrdiff_t>(index - FirstWaitingIndex);
                int fd = ready->fd;
                waiting_.erase(ready);
                return fd;
            }
        }
        if (accept) AcceptWaiting(Clock::now());
    }
    return -1;
}

void FastCgiConnections::TakeKept() {
    std::vector<int> kept;
    {
        std::lock_guard<std::mutex> guard(keptLock_);
        kept.swap(kept_);
    }
    Time now = Clock::now();
    for (int fd : kept) waiting_.push_back(Waiting{fd, now, true});
}

// Takes one connection waiting on the listening socket (the next wait
// finds the socket ready again while more wait).
void FastCgiConnections::AcceptWaiting(Time now) {
    std::string peer;
    int fd = platform::AcceptConnection(listen_, peer);
    if (fd < 0) return;
    bool allowed = webServers_.empty() || peer.empty() ||
                   std::find(webServers_.begin(), webServers_.end(), peer) != webServers_.end();
    if (allowed) waiting_.push_back(Waiting{fd, now, false});
    else platform::CloseDescriptor(fd);
}

// The connections are in the order they began to wait: the first ones go
// when too many wait.
void FastCgiConnections::CloseOverdue(Time now) {
    auto overdue = [now](const Waiting& connection) {
        return !connection.served && now - connection.since >= std::chrono::seconds(FastCgiFirstBytesSeconds);
    };
    size_t excess = waiting_.size() > MaxWaitingFastCgiConnections ? waiting_.size() - MaxWaitingFastCgiConnections : 0;
    size_t kept = 0;
    for (size_t i = 0; i < waiting_.size(); ++i) {
        if (i < excess || overdue(waiting_[i])) platform::CloseDescriptor(waiting_[i].fd);
        else waiting_[kept++] = waiting_[i];
    }
    waiting_.resize(kept);
}

// How long the next wait may last: until the next check for a stop request
// or the first new connection's time for its first bytes is up.
int FastCgiConnections::Deadline(Time now) const {
    auto wait = std::chrono::milliseconds(stopCheckMilliseconds_);
    for (const Waiting& connection : waiting_) {
        if (connection.served) continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            connection.since + std::chrono::seconds(FastCgiFirstBytesSeconds) - now);
        wait = std::min(wait, std::max(left, std::chrono::milliseconds(0)));
    }
    return static_cast<int>(wait.count());
}
