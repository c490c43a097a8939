// A connection's request as its bytes arrive (how long a slow peer gets is
// in the connection tests): its bytes given on never past the request's
// end, what follows kept for the next request, a peer that leaves early.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "engine/hostings/FastCgiRequestArrival.h"
#include "support/FastCgiClient.h"

using testing_support::FastCgiPairs;
using testing_support::FastCgiRecord;
using Progress = FastCgiRequestArrival::Progress;

namespace {

constexpr unsigned char Params = 4, Stdin = 5;

// A connection's two ends: the test writes, the arrival reads.
struct Connection {
    int peer = -1, own = -1;
    Connection() {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) throw std::runtime_error("socketpair");
        peer = ends[0];
        own = ends[1];
    }
    ~Connection() {
        if (peer >= 0) close(peer);
        close(own);
    }
    void Send(const std::string& bytes) const { ASSERT_EQ(write(peer, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void End() {
        close(peer);
        peer = -1;
    }
};

std::string Head(const std::string& contentLength, int id = 1) {
    std::map<std::string, std::string> params = {{"SCRIPT_FILENAME", "/srv/www/pictorama.cgi"}};
    if (!contentLength.empty()) params["CONTENT_LENGTH"] = contentLength;
    return FastCgiRecord(1, std::string("\0\1\1\0\0\0\0\0", 8), id) + FastCgiRecord(Params, FastCgiPairs(params), id) +
           FastCgiRecord(Params, "", id);
}

using Clock = std::chrono::steady_clock;

std::string GiveAll(FastCgiRequestArrival& arrival) {
    std::string given;
    char buffer[5000];
    for (size_t n; (n = arrival.Give(buffer, sizeof buffer)) > 0;) given.append(buffer, n);
    return given;
}

}  // namespace

// A request whose body ends: its bytes are given on up to its end and never
// further; the next request, sent right behind it, is ready at once.
TEST(FastCgiRequestArrival, GivesOneRequestAndKeepsTheNext) {
    Connection c;
    FastCgiRequestArrival arrival(MaxFastCgiWaitedBodyBytes);
    const std::string first = Head("3") + FastCgiRecord(Stdin, "a=1") + FastCgiRecord(Stdin, "");
    const std::string second = Head("", 2) + FastCgiRecord(Stdin, "", 2);
    c.Send(first + second);
    EXPECT_EQ(arrival.ReadFrom(c.own, Clock::now()), Progress::Ready);
    EXPECT_TRUE(arrival.RequestEnded());
    EXPECT_EQ(GiveAll(arrival), first);
    EXPECT_TRUE(arrival.ReadToRequestEnd(c.own));
    EXPECT_EQ(arrival.NextRequest(Clock::now()), Progress::Ready);
    EXPECT_EQ(GiveAll(arrival), second);
    EXPECT_EQ(arrival.NextRequest(Clock::now()), Progress::Waiting);
    EXPECT_EQ(arrival.Held(), 0u);

    // A request without a body is ready with its head; the record that ends
    // its body may come after it was served.
    FastCgiRequestArrival late(MaxFastCgiWaitedBodyBytes);
    c.Send(Head(""));
    EXPECT_EQ(late.ReadFrom(c.own, Clock::now()), Progress::Ready);
    EXPECT_FALSE(late.RequestEnded());
    c.Send(FastCgiRecord(Stdin, ""));
    EXPECT_TRUE(late.ReadToRequestEnd(c.own));
}

// A peer that leaves: with the head in, what came is served (the request
// does not end); before, nothing is. Bytes that break the check are refused.
TEST(FastCgiRequestArrival, PeerEndsAndBrokenBytes) {
    {
        Connection c;
        FastCgiRequestArrival arrival(MaxFastCgiWaitedBodyBytes);
        c.Send(Head("100") + FastCgiRecord(Stdin, "x=1"));
        c.End();
        EXPECT_EQ(arrival.ReadFrom(c.own, Clock::now()), Progress::Ready);
        EXPECT_FALSE(arrival.RequestEnded());
    }
    {
        Connection c;
        FastCgiRequestArrival arrival(MaxFastCgiWaitedBodyBytes);
        c.Send(Head("").substr(0, 30));
        c.End();
        EXPECT_EQ(arrival.ReadFrom(c.own, Clock::now()), Progress::Refused);
    }
    {
        Connection c;
        FastCgiRequestArrival arrival(MaxFastCgiWaitedBodyBytes);
        std::string head = Head("");
        head[0] = 2;  // another protocol version
        c.Send(head);
        EXPECT_EQ(arrival.ReadFrom(c.own, Clock::now()), Progress::Refused);
        char byte;
        EXPECT_EQ(arrival.Give(&byte, 1), 0u) << "nothing refused is given on";
    }
}
