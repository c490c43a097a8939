#include "engine/hostings/FastCgiRequestArrival.h"

#include <algorithm>
#include <cstring>

#include "platform/ListeningSocket.h"

namespace {

// Bytes read at once.
constexpr size_t ReadPiece = 16 * 1024;
// What is read after a request was served to find the end of its records:
// the record that ends its body, or a little more; a peer sending more is
// not waited for.
constexpr size_t MaxReadAfterServing = 16 * 1024;

}  // namespace

FastCgiRequestArrival::FastCgiRequestArrival(uint32_t waitedBodyBytes)
    : waitedBodyBytes_(std::min(waitedBodyBytes, MaxFastCgiWaitedBodyBytes)) {}

// The bytes read since the check last took any: those of the request go
// through it, and the times are noted.
void FastCgiRequestArrival::Take(Time now) {
    if (!firstByte_ && !bytes_.empty()) firstByte_ = now;
    if (checked_ < bytes_.size() && !check_.RequestEnded() && !check_.Failed())
        checked_ += check_.TakeRequest(reinterpret_cast<const unsigned char*>(bytes_.data()) + checked_,
                                       bytes_.size() - checked_);
    if (check_.HeadIn() && !headIn_) headIn_ = now;
}

FastCgiRequestArrival::Progress FastCgiRequestArrival::Judge() {
    if (check_.Failed()) return Progress::Refused;
    if (check_.HeadIn()) {
        uint64_t waited = std::min<uint64_t>(static_cast<uint64_t>(check_.ContentLength()), waitedBodyBytes_);
        // A peer that sent all it will (its end) is served what it sent.
        if (check_.RequestEnded() || check_.BodyBytes() >= waited || peerEnded_) return Progress::Ready;
    } else if (peerEnded_) {
        return Progress::Refused;
    }
    return bytes_.size() >= MaxFastCgiArrivalBytes ? Progress::Refused : Progress::Waiting;
}

FastCgiRequestArrival::Progress FastCgiRequestArrival::ReadFrom(int fd, Time now) {
    char piece[ReadPiece];
    while (progress_ == Progress::Waiting) {
        size_t got = 0;
        size_t want = std::min(sizeof piece, MaxFastCgiArrivalBytes - bytes_.size());
        platform::Received received = platform::ReceiveWithoutWaiting(fd, piece, want, got);
        if (received == platform::Received::Nothing) break;
        if (received == platform::Received::Ended) peerEnded_ = true;
        bytes_.append(piece, got);
        Take(now);
        progress_ = Judge();
    }
    return progress_;
}

bool FastCgiRequestArrival::ReadToRequestEnd(int fd) {
    char piece[ReadPiece];
    size_t budget = MaxReadAfterServing;
    while (!check_.RequestEnded() && !check_.Failed() && !peerEnded_ && budget > 0 &&
           bytes_.size() < MaxFastCgiArrivalBytes) {
        size_t got = 0;
        size_t want = std::min({sizeof piece, budget, MaxFastCgiArrivalBytes - bytes_.size()});
        platform::Received received = platform::ReceiveWithoutWaiting(fd, piece, want, got);
        if (received == platform::Received::Nothing) break;
        if (received == platform::Received::Ended) peerEnded_ = true;
        bytes_.append(piece, got);
        budget -= got;
        // The request's times are set: its first byte came long ago.
        Take(firstByte_.value_or(Time()));
    }
    return check_.RequestEnded();
}

std::optional<FastCgiRequestArrival::Time> FastCgiRequestArrival::Deadline() const {
    if (!firstByte_) return std::nullopt;
    if (!headIn_) return *firstByte_ + std::chrono::seconds(FastCgiHeadSeconds);
    return *headIn_ + std::chrono::seconds(FastCgiBodyGraceSeconds) +
           std::chrono::milliseconds(check_.BodyBytes() * 1000 / FastCgiMinBodyBytesPerSecond);
}

size_t FastCgiRequestArrival::Give(char* buffer, size_t size) {
    if (check_.Failed()) return 0;
    size_t n = std::min(size, checked_ - given_);
    if (n > 0) std::memcpy(buffer, bytes_.data() + given_, n);
    given_ += n;
    return n;
}

FastCgiRequestArrival::Progress FastCgiRequestArrival::NextRequest(Time now) {
    bytes_.erase(0, checked_);
    check_.Reset();
    checked_ = 0;
    given_ = 0;
    firstByte_.reset();
    headIn_.reset();
    Take(now);
    progress_ = Judge();
    return progress_;
}
