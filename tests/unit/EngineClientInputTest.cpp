// Reading what the client sent: refusals, body and query fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/HttpEngine.h"
#include "support/EngineHarness.h"

using testing_support::TestCgiEngine;

namespace {
std::string ErrorPage(const std::string& message) {
    return "HTTP/1.0 500 Internal Server Error\r\ncontent-type: text/html\r\n\r\n<html><body>Unhandled Exception: " +
           message + "</body></html>\r\n";
}
}  // namespace

TEST(InputRefusals, ContentLengthAboveTheLimitIsRefusedEvenForGet) {
    TestCgiEngine e;
    e.SetAutoReadLimit(100);
    bool ran = false;
    auto handler = [&](THttpEngine*) { ran = true; };
    EXPECT_EQ(e.Run({{"REQUEST_METHOD", "GET"}, {"CONTENT_LENGTH", "101"}}, "", handler),
              ErrorPage("Content length exceeds allowed limit"));
    EXPECT_FALSE(ran);
    e.Run({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "100"}}, std::string(100, 'a'), handler);
    EXPECT_TRUE(ran);
    for (int32_t limit : {0, -1}) {
        ran = false;
        e.SetAutoReadLimit(limit);
        e.Run({{"REQUEST_METHOD", "GET"}, {"CONTENT_LENGTH", "2000000000"}}, "", handler);
        EXPECT_TRUE(ran) << limit;
    }
}

TEST(InputRefusals, MethodsThatAreNotAllowed) {
    TestCgiEngine e;
    bool ran = false;
    auto handler = [&](THttpEngine*) { ran = true; };
    e.AllowedMethods.SetPost(false);
    EXPECT_EQ(e.Run({{"REQUEST_METHOD", "post"}}, "", handler), ErrorPage("Method not allowed (POST)"));
    e.AllowedMethods.SetPost(true);
    e.AllowedMethods.SetGet(false);
    EXPECT_EQ(e.Run({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}}, "", handler),
              ErrorPage("Method not allowed (GET)"));
    EXPECT_FALSE(ran);
    size_t fields = 99;
    e.Run({{"REQUEST_METHOD", "HEAD"}, {"QUERY_STRING", "a=1"}}, "",
          [&](THttpEngine* s) { fields = s->GetFormFieldNames().size(); });
    EXPECT_EQ(fields, 0u);
    e.AllowedMethods.SetPut(true);
    EXPECT_FALSE(e.AllowedMethods.Put());
}

TEST(FormInput, BodyFieldsComeBeforeQueryFields) {
    TestCgiEngine e;
    std::string x;
    e.Run({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}, {"QUERY_STRING", "x=2"}}, "x=1",
          [&](THttpEngine* s) { x = s->GetFormField("X", "none"); });
    EXPECT_EQ(x, "1\r\n2");
}

TEST(FormInput, OnlyTheBytesThatArrivedAreParsed) {
    TestCgiEngine e;
    std::vector<std::string> names;
    e.Run({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "2147483647"}}, "a=1&b=2",
          [&](THttpEngine* s) { names = s->GetFormFieldNames(); });
    // "b=2" has no closing "&" in the bytes received, but the body ends there.
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
}

TEST(KeptInput, BytesBeyondTheLimitAreReadAndDroppedWithTheFieldTheyCut) {
    TestCgiEngine e;
    const std::string body = "a=1&bb=22&ccc=333";  // 17 bytes
    struct Case {
        int32_t limit;
        std::vector<std::string> names;
    };
    for (const Case& c : std::vector<Case>{{-1, {"a", "bb", "ccc", "q"}},
                                           {17, {"a", "bb", "ccc", "q"}},
                                           {16, {"a", "bb", "q"}},
                                           {10, {"a", "bb", "q"}},
                                           {9, {"a", "q"}},
                                           {2, {"q"}},
                                           {0, {"q"}}}) {
        e.SetKeptInputLimit(c.limit);
        std::vector<std::string> names;
        int32_t left = 1;
        e.Run({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "17"}, {"QUERY_STRING", "q=1"}}, body,
              [&](THttpEngine* s) {
                  names = s->GetFormFieldNames();
                  char rest[32];
                  left = s->ReadInput(rest, sizeof rest);
              });
        EXPECT_EQ(names, c.names) << c.limit;
        // The whole body was taken from the client either way.
        EXPECT_LE(left, 0) << c.limit;
    }
}

TEST(KeptInput, TheDebugDumpShowsTheKeptBytesOnly) {
    TestCgiEngine e;
    e.SetDebugMode(TDebugMode::DebugAlways);
    e.SetKeptInputLimit(5);
    std::string r = e.Run({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "11"}}, "a=1&b=2&c=3");
    EXPECT_NE(r.find("(***   Client input   ***)\r\n(************************)\r\na=1&b\r\n"), std::string::npos) << r;
    EXPECT_EQ(r.find("b=2"), std::string::npos) << r;
}

namespace {
// A body stream that records how much each read asked for and hands out at
// most `delivery` bytes a read, as a pipe does when bytes arrive slowly.
class RecordingInput : public MemoryStream {
public:
    RecordingInput(const std::string& body, std::vector<int64_t>& asked, int64_t delivery)
        : asked_(asked), delivery_(delivery) {
        Write(body.data(), static_cast<int64_t>(body.size()));
        Seek(0, 0);
    }
    int64_t Read(void* buffer, int64_t count) override {
        asked_.push_back(count);
        return MemoryStream::Read(buffer, std::min(count, delivery_));
    }

private:
    std::vector<int64_t>& asked_;
    int64_t delivery_;
};

// The body as the handler saw it (the value of field "a") and the read sizes.
std::string ReadBody(const std::string& value, int64_t delivery, std::vector<int64_t>& asked) {
    TestCgiEngine e;
    std::string seen, response;
    std::string body = "a=" + value;
    auto* variables = new StringList(true);
    variables->Add("CONTENT_LENGTH=" + std::to_string(body.size()));
    variables->Add("REQUEST_METHOD=POST");
    e.SetOnExecRequest([&](THttpEngine* s) { seen = s->GetFormField("a", "none"); });
    e.ExecuteRequest(new RecordingInput(body, asked, delivery), new testing_support::StringSink(response),
                     variables);
    return seen;
}
}  // namespace

TEST(FormInput, BodyIsReadInPiecesOf1032BytesAtMost) {
    std::string value(5000, 'x');
    std::vector<int64_t> asked;
    EXPECT_EQ(ReadBody(value, 1 << 20, asked), value);
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(*std::max_element(asked.begin(), asked.end()), 1032);
    // 5002 bytes: four whole pieces and the rest, nothing asked beyond the body.
    EXPECT_EQ(asked, (std::vector<int64_t>{1032, 1032, 1032, 1032, 874}));
}

TEST(FormInput, BodyThatArrivesInSmallPiecesIsReadWhole) {
    std::string value(3000, 'y');
    std::vector<int64_t> asked;
    EXPECT_EQ(ReadBody(value, 100, asked), value);
    for (int64_t n : asked) EXPECT_LE(n, 1032);
    EXPECT_EQ(asked.size(), 31u);  // 3002 bytes at 100 a read
}

TEST(FormInput, MissingOrBadContentLengthReadsNoBody) {
    TestCgiEngine e;
    for (std::string length : {"0", "", "abc", "-3", "100000000000000000000"}) {
        std::vector<std::string> names;
        e.Run({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", length}, {"QUERY_STRING", "q=1"}}, "a=1",
              [&](THttpEngine* s) { names = s->GetFormFieldNames(); });
        EXPECT_EQ(names, std::vector<std::string>{"q"}) << length;
    }
}

TEST(FormInput, MegabyteQueryStringOfDistinctFields) {
    TestCgiEngine e;
    std::string query;
    for (int i = 0; query.size() < 1024 * 1024; ++i) query.append("f").append(std::to_string(i)).append("=%41&");
    size_t count = 0;
    std::string last;
    e.Run({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}}, "",
          [&](THttpEngine* s) {
              count = s->FormFields()->Count();
              last = s->GetFormField("f100", "");
          });
    EXPECT_GT(count, 90000u);
    EXPECT_EQ(last, "A");
}

TEST(DebugOutput, AlwaysTurnsTheResponseIntoTextWithTheDump) {
    TestCgiEngine e;
    e.SetDebugMode(TDebugMode::DebugAlways);
    std::string r = e.Run({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}}, "a=1",
                          [](THttpEngine*) { HttpSend("<p>hi</p>"); });
    const std::string frame = "(************************)";
    std::string expected = "HTTP/1.0 200 OK\r\ncontent-type: text/plain\r\n\r\n\r\n<p>hi</p>\r\n\r\n(*** END ***)\r\n\r\n" +
                           frame + "\r\n(***    User Log      ***)\r\n" + frame + "\r\n\r\n" + frame +
                           "\r\n(***   Client input   ***)\r\n" + frame + "\r\na=1\r\n" + frame +
                           "\r\n(*** Server variables ***)\r\n" + frame +
                           "\r\nCONTENT_LENGTH=3\r\nREQUEST_METHOD=POST\r\n\r\n";
    EXPECT_EQ(r, expected);
}

TEST(DebugOutput, ExceptionModeIsSilentWithoutAnError) {
    TestCgiEngine e;
    e.SetDebugMode(TDebugMode::DebugException);
    std::string r = e.Run({{"REQUEST_METHOD", "GET"}}, "", [](THttpEngine*) { HttpSend("ok"); });
    EXPECT_EQ(r, "HTTP/1.0 200 OK\r\ncontent-type: text/html\r\ncontent-length: 4\r\nConnection: Keep-Alive\r\n\r\nok\r\n");
}

TEST(DebugOutput, ExceptionModeKeepsOutputAndLogsTheErrorInTheDump) {
    TestCgiEngine e;
    e.SetDebugMode(TDebugMode::DebugException);
    std::string r = e.Run({{"REQUEST_METHOD", "GET"}}, "", [](THttpEngine*) {
        HttpSend("partial");
        throw Exception("broken");
    });
    EXPECT_TRUE(r.starts_with("HTTP/1.0 200 OK\r\ncontent-type: text/plain\r\n\r\n")) << r;
    size_t partial = r.find("partial\r\n");
    size_t logged = r.find(" : Unhandled Exception: broken\r\n");
    ASSERT_NE(partial, std::string::npos);
    ASSERT_NE(logged, std::string::npos);
    EXPECT_LT(partial, logged);
    EXPECT_EQ(r.find("<html>"), std::string::npos);
}
