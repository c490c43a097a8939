// The check a FastCGI connection's bytes pass before the library reads them:
// what web servers send goes through however it is cut into reads; lengths
// the library would trust to its harm, and records out of their place, stop
// the connection.
#include <gtest/gtest.h>

#include "engine/hostings/FastCgiInputCheck.h"
#include "support/FastCgiClient.h"

using testing_support::FastCgiPairs;
using testing_support::FastCgiRecord;

namespace {

constexpr unsigned char Begin = 1, Params = 4, Stdin = 5, GetValues = 9;

std::string BeginRecord(int id = 1) { return FastCgiRecord(Begin, std::string("\0\1\0\0\0\0\0\0", 8), id); }

std::string LongLength(uint32_t n) {
    return {char(0x80 | (n >> 24)), char((n >> 16) & 0xff), char((n >> 8) & 0xff), char(n & 0xff)};
}

// A request as a web server sends it: the pairs cut across records (a
// four-byte length split between two), the closing records, a body.
std::string Request(int id = 1) {
    std::string pairs = FastCgiPairs({{"SCRIPT_FILENAME", "/srv/www/pictorama.cgi"},
                                      {"HTTP_COOKIE", std::string(70000, 'c')},
                                      {"QUERY_STRING", ""}});
    size_t cut = pairs.find("HTTP_COOKIE") - 3;  // inside the value's length
    return BeginRecord(id) + FastCgiRecord(Params, pairs.substr(0, cut), id) +
           FastCgiRecord(Params, pairs.substr(cut, 60000), id) + FastCgiRecord(Params, pairs.substr(cut + 60000), id) +
           FastCgiRecord(Params, "", id) + FastCgiRecord(Stdin, std::string(40000, 'b'), id) +
           FastCgiRecord(Stdin, "", id);
}

bool Passes(FastCgiInputCheck& check, const std::string& bytes, size_t piece = 0) {
    if (piece == 0) piece = bytes.size();
    for (size_t at = 0; at < bytes.size(); at += piece)
        if (!check.Take(reinterpret_cast<const unsigned char*>(bytes.data() + at), std::min(piece, bytes.size() - at)))
            return false;
    return true;
}

bool Passes(const std::string& bytes) {
    FastCgiInputCheck check;
    return Passes(check, bytes);
}

}  // namespace

TEST(FastCgiInputCheck, WebServerRequestsPassHoweverTheyAreRead) {
    for (size_t piece : {size_t(0), size_t(1), size_t(7), size_t(8192)}) {
        FastCgiInputCheck check;
        EXPECT_TRUE(Passes(check, Request(), piece)) << piece;
        // The next request on a kept connection, read by a fresh reader.
        check.Reset();
        EXPECT_TRUE(Passes(check, Request(2), piece)) << piece;
    }
    // A management record asking for the three values; a second request
    // begun on the connection (the library declines it) with its own records.
    std::string ask = FastCgiPairs({{"FCGI_MAX_CONNS", ""}, {"FCGI_MAX_REQS", ""}, {"FCGI_MPXS_CONNS", ""}});
    EXPECT_TRUE(Passes(FastCgiRecord(GetValues, ask, 0) + Request()));
    EXPECT_TRUE(Passes(BeginRecord() + FastCgiRecord(Params, "", 1) + BeginRecord(2) + FastCgiRecord(Stdin, "x", 2)));
    // Parameters exactly filling the bound.
    std::string fill = LongLength(1) + LongLength(MaxFastCgiParamsBytes - 9) + "N" +
                       std::string(MaxFastCgiParamsBytes - 9, 'v');
    std::string records = BeginRecord();
    for (size_t at = 0; at < fill.size(); at += 65528) records += FastCgiRecord(Params, fill.substr(at, 65528));
    EXPECT_TRUE(Passes(records + FastCgiRecord(Params, "")));
}

TEST(FastCgiInputCheck, LengthsAndRecordsOutOfPlaceStopTheConnection) {
    std::string values = FastCgiPairs({{"FCGI_MAX_CONNS", ""}});
    std::string over = LongLength(1) + LongLength(MaxFastCgiParamsBytes - 8) + "N";
    const std::map<std::string, std::string> refused = {
        {"lengths adding up past 2^31", BeginRecord() + FastCgiRecord(Params, LongLength(0x7ffffff0) + LongLength(0x7ffffff0))},
        {"a pair past the bound", BeginRecord() + FastCgiRecord(Params, over)},
        {"small pairs past the bound",
         [] {
             std::string r = BeginRecord();
             std::string pair = FastCgiPairs({{"HTTP_X", std::string(60000, 'x')}});
             for (uint32_t n = 0; n <= MaxFastCgiParamsBytes; n += static_cast<uint32_t>(pair.size()))
                 r += FastCgiRecord(Params, pair);
             return r;
         }()},
        {"another protocol version", [] {
             std::string r = BeginRecord();
             r[0] = 2;
             return r;
         }()},
        {"parameters before the request begins", FastCgiRecord(Params, FastCgiPairs({{"A", "b"}}))},
        {"parameters of another request", BeginRecord(1) + FastCgiRecord(Params, FastCgiPairs({{"A", "b"}}), 2)},
        {"parameters after their closing record",
         BeginRecord() + FastCgiRecord(Params, "") + FastCgiRecord(Params, FastCgiPairs({{"A", "b"}}))},
        {"closing record inside a pair", BeginRecord() + FastCgiRecord(Params, "\1\5A") + FastCgiRecord(Params, "")},
        {"a management record of another type", FastCgiRecord(Stdin, "x", 0)},
        {"a request begun with the management id", BeginRecord(0)},
        {"a begin record with padding", std::string("\1\1\0\1\0\x08\x08\0", 8) + std::string(16, '\0')},
        {"a begin record of another size", FastCgiRecord(Begin, std::string(16, '\1'))},
        {"a closing parameters record with padding",
         BeginRecord() + std::string("\1\4\0\1\0\0\x08\0", 8) + std::string(8, '\0')},
        {"a value asked four times", FastCgiRecord(GetValues, values + values + values + values, 0)},
        {"an asked pair running past its record", FastCgiRecord(GetValues, "\x0e\x40" "FCGI_MAX_CONNS", 0)},
    };
    for (const auto& [what, bytes] : refused) {
        for (size_t piece : {size_t(0), size_t(1)}) {
            FastCgiInputCheck check;
            EXPECT_FALSE(Passes(check, bytes, piece)) << what << " " << piece;
            // Refused for good, whatever follows.
            EXPECT_FALSE(Passes(check, FastCgiRecord(Stdin, ""))) << what;
            check.Reset();
            EXPECT_TRUE(Passes(check, Request())) << what;
        }
    }
}

// What the check learns on the way: when a request's head is in, its
// CONTENT_LENGTH as the engine reads it, how much of its body came and where
// its records end (the bytes after are the next request's), however the
// bytes are cut into reads.
TEST(FastCgiInputCheck, FindsTheHeadTheBodyAndTheEndOfARequest) {
    std::string pairs = FastCgiPairs({{"CONTENT_LENGTH", "40000"}, {"HTTP_COOKIE", std::string(70000, 'c')}});
    std::string head = BeginRecord() + FastCgiRecord(Params, pairs.substr(0, 60000)) +
                       FastCgiRecord(Params, pairs.substr(60000)) + FastCgiRecord(Params, "");
    std::string body = FastCgiRecord(Stdin, std::string(39999, 'b')) + FastCgiRecord(Stdin, "b");
    std::string end = FastCgiRecord(Stdin, "");
    std::string next = Request(2);
    std::string all = head + body + end + next;
    for (size_t piece : {size_t(1), size_t(7), size_t(8192), all.size()}) {
        FastCgiInputCheck check;
        size_t taken = 0;
        for (size_t at = 0; at < all.size(); at += piece) {
            size_t n = std::min(piece, all.size() - at);
            size_t took = check.TakeRequest(reinterpret_cast<const unsigned char*>(all.data() + at), n);
            taken += took;
            EXPECT_EQ(check.HeadIn(), taken >= head.size()) << piece << " at " << taken;
            EXPECT_EQ(check.RequestEnded(), taken == head.size() + body.size() + end.size()) << piece;
            if (took < n) break;
        }
        EXPECT_FALSE(check.Failed()) << piece;
        EXPECT_EQ(taken, head.size() + body.size() + end.size()) << piece;
        EXPECT_EQ(check.BodyBytes(), 40000u) << piece;
        EXPECT_EQ(check.ContentLength(), 40000) << piece;
    }
    // The length as the engine reads it: a number, else none; the first
    // given counts.
    const std::map<std::string, int32_t> lengths = {{" 12", 12}, {"x", 0}, {"-5", 0}, {"99999999999", 0}};
    for (const auto& [value, expected] : lengths) {
        FastCgiInputCheck check;
        std::string params = FastCgiPairs({{"CONTENT_LENGTH", value}}) + FastCgiPairs({{"CONTENT_LENGTH", "5"}});
        EXPECT_TRUE(Passes(check, BeginRecord() + FastCgiRecord(Params, params) + FastCgiRecord(Params, "")));
        EXPECT_EQ(check.ContentLength(), expected) << "'" << value << "'";
    }
    FastCgiInputCheck none;
    EXPECT_TRUE(Passes(none, Request()));
    EXPECT_EQ(none.ContentLength(), 0);
    // A body before the parameters are closed: the library would not read it.
    EXPECT_FALSE(Passes(BeginRecord() + FastCgiRecord(Params, pairs.substr(0, 100)) + FastCgiRecord(Stdin, "x")));
}
