// A connection's next request as its bytes arrive, before any thread serves
// it: the bytes are read as they come, without waiting, checked
// (FastCgiInputCheck.h) and held until what the program waits for is in: the
// request's head (its begin record and all its parameters) and as much of
// its body as the program keeps. A thread then serves the request from these
// bytes alone; the library never reads the connection itself, so a slow peer
// holds no thread, however slowly it sends.
//
// Bounds: the head must be in within FastCgiHeadSeconds of its first byte,
// however steadily its bytes come; the body then gets FastCgiBodyGraceSeconds
// and one second more for every FastCgiMinBodyBytesPerSecond bytes of it that
// came; at most MaxFastCgiWaitedBodyBytes of a body are waited for (fewer when
// the program keeps fewer), and at most MaxFastCgiArrivalBytes are held.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/hostings/FastCgiInputCheck.h"

constexpr int FastCgiHeadSeconds = 10;
constexpr int FastCgiBodyGraceSeconds = 10;
constexpr int FastCgiMinBodyBytesPerSecond = 500;
constexpr uint32_t MaxFastCgiWaitedBodyBytes = 64 * 1024;
// The parameters at their bound, with room for their records and for the
// body waited for in records of any size a web server sends.
constexpr size_t MaxFastCgiArrivalBytes = MaxFastCgiParamsBytes + (1u << 20);

class FastCgiRequestArrival {
public:
    using Time = std::chrono::steady_clock::time_point;
    enum class Progress {
        Waiting,  // more is to come
        Ready,    // what the program waits for is in: serve it
        Refused,  // the bytes broke a rule, or the peer left before the head was in
    };

    // waitedBodyBytes: the most of a body to wait for (at most
    // MaxFastCgiWaitedBodyBytes).
    explicit FastCgiRequestArrival(uint32_t waitedBodyBytes);

    // Reads what the connection holds, without waiting, until the request is
    // ready (or refused, or nothing more is there).
    Progress ReadFrom(int fd, Time now);
    // After the request was served: reads without waiting what is left of it
    // (the record that ends its body, mostly) if that is little; true when
    // the whole request has been read.
    bool ReadToRequestEnd(int fd);
    Progress State() const { return progress_; }
    // A byte of the request has come.
    bool Begun() const { return firstByte_.has_value(); }
    // Its head is in (a request a stop signal still serves).
    bool HeadIn() const { return check_.HeadIn(); }
    // When it is cut off unless ready: none before its first byte.
    std::optional<Time> Deadline() const;
    // The bytes held (read and not yet passed on to the next request).
    size_t Held() const { return bytes_.size(); }

    // The library's reads: the request's bytes in order, never past its end;
    // 0 once none is left.
    size_t Give(char* buffer, size_t size);
    // Every byte of the request has been read, its body to its end: the
    // connection may carry another request.
    bool RequestEnded() const { return check_.RequestEnded(); }
    // The request has been served on a connection that carries another: its
    // bytes go, what followed them begins the next request.
    Progress NextRequest(Time now);

private:
    void Take(Time now);
    Progress Judge();

    uint32_t waitedBodyBytes_;
    FastCgiInputCheck check_;
    std::string bytes_;
    size_t checked_ = 0;  // bytes of the request the check has taken
    size_t given_ = 0;    // bytes given to the library
    bool peerEnded_ = false;
    Progress progress_ = Progress::Waiting;
    std::optional<Time> firstByte_;
    std::optional<Time> headIn_;
};
