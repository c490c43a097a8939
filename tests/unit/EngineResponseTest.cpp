// The response block the engine writes around a handler's output.
#include <gtest/gtest.h>

#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "support/EngineHarness.h"

using testing_support::TestCgiEngine;

namespace {
const std::map<std::string, std::string> Get = {{"REQUEST_METHOD", "GET"}, {"SERVER_SOFTWARE", "lighttpd"}};
}

TEST(ResponseBlock, BodyGetsContentLengthAndKeepAlive) {
    TestCgiEngine e;
    std::string r = e.Run(Get, "", [](THttpEngine*) { HttpSend("<p>hi</p>"); });
    EXPECT_EQ(r, "HTTP/1.0 200 OK\r\ncontent-type: text/html\r\ncontent-length: 11\r\nConnection: Keep-Alive\r\n\r\n<p>hi</p>\r\n");
}

TEST(ResponseBlock, EmptySendAddsOneLineEnd) {
    TestCgiEngine e;
    std::string r = e.Run(Get, "", [](THttpEngine*) { HttpSend(""); });
    EXPECT_NE(r.find("content-length: 2\r\n"), std::string::npos);
    EXPECT_TRUE(r.ends_with("\r\n\r\n\r\n"));
}

TEST(ResponseBlock, LocationSuppressesStatusAndContentType) {
    TestCgiEngine e;
    e.SetNoCache(true);
    std::string r = e.Run(Get, "", [](THttpEngine* s) { s->AddHeader("Location", "http://h/x"); });
    EXPECT_EQ(r, "Location: http://h/x\r\n\r\n");
}

TEST(ResponseBlock, OwnStatusLineIsWrittenInItsListPosition) {
    TestCgiEngine e;
    auto vars = Get;
    vars["SERVER_SOFTWARE"] = "Apache/2.4";
    std::string r = e.Run(vars, "", [](THttpEngine* s) {
        s->AddHeader("X-First", "1");
        s->AddHeader("http/1.0 302 Found", "");
    });
    EXPECT_EQ(r, "content-type: text/html\r\nX-First: 1\r\nStatus: 302 Found\r\n\r\n");
}

TEST(ResponseBlock, OwnContentLengthIsKept) {
    TestCgiEngine e;
    std::string r = e.Run(Get, "", [](THttpEngine* s) {
        s->AddHeader("Content-Length", "3");
        s->Write("abc");
    });
    EXPECT_EQ(r, "HTTP/1.0 200 OK\r\ncontent-type: text/html\r\nContent-Length: 3\r\n\r\nabc");
}

TEST(ResponseBlock, NoCacheLinesFollowConnection) {
    TestCgiEngine e;
    e.SetNoCache(true);
    std::string r = e.Run(Get, "", [](THttpEngine*) { HttpSend("x"); });
    size_t connection = r.find("Connection: Keep-Alive\r\n");
    size_t pragma = r.find("Pragma: no-cache\r\nCache-Control: no-cache\r\nExpires: ");
    ASSERT_NE(connection, std::string::npos);
    ASSERT_NE(pragma, std::string::npos);
    EXPECT_LT(connection, pragma);
    EXPECT_NE(r.find(" GMT\r\nDocument Expires: "), std::string::npos);
}

TEST(ResponseBlock, RepeatedHeaderNamesKeepTheirOwnValues) {
    TestCgiEngine e;
    std::string r = e.Run(Get, "", [](THttpEngine* s) {
        s->AddHeader("Set-Cookie", "a=1");
        s->AddHeader("Set-Cookie", "b=2");
    });
    EXPECT_NE(r.find("Set-Cookie: a=1\r\nSet-Cookie: b=2\r\n"), std::string::npos);
}

TEST(ResponseBlock, AttachmentHeaders) {
    TestCgiEngine e;
    std::string r = e.Run(Get, "", [](THttpEngine* s) { s->SendAsAttachment("  ", "C:\\dir\\report.pdf"); });
    EXPECT_NE(r.find("Content-Type: application/binary; name=report.pdf\r\nContent-Transfer-Encoding: 8bit\r\n"
                     "Content-Disposition: attachment; filename=report.pdf\r\n"),
              std::string::npos)
        << r;
}

TEST(ResponseBlock, HandlerThatCallsSendResponseGetsOneHeaderBlock) {
    TestCgiEngine e;
    std::string r = e.Run(Get, "", [](THttpEngine* s) {
        HttpSend("one");
        s->SendResponse();
        HttpSend("two");
    });
    EXPECT_EQ(r, "HTTP/1.0 200 OK\r\ncontent-type: text/html\r\n\r\none\r\ntwo\r\n");
}

TEST(ErrorPage, ReplacesEverythingTheHandlerWrote) {
    TestCgiEngine e;
    std::string r = e.Run(Get, "", [](THttpEngine* s) {
        s->AddHeader("X-Lost", "1");
        HttpSend("lost");
        throw Exception("boom");
    });
    EXPECT_EQ(r, "HTTP/1.0 500 Internal Server Error\r\ncontent-type: text/html\r\n\r\n"
                 "<html><body>Unhandled Exception: boom</body></html>\r\n");
}

// The status line of the error page follows the rule of every status line:
// the "Status:" form for the servers that want it.
TEST(ErrorPage, StatusIs500InTheFormTheServerWants) {
    TestCgiEngine e;
    std::map<std::string, std::string> apache = Get;
    apache["SERVER_SOFTWARE"] = "Apache/2.4.57 (Debian)";
    std::string r = e.Run(apache, "", [](THttpEngine*) { throw Exception("boom"); });
    EXPECT_EQ(r, "Status: 500 Internal Server Error\r\ncontent-type: text/html\r\n\r\n"
                 "<html><body>Unhandled Exception: boom</body></html>\r\n");
    e.SetNoCache(true);
    r = e.Run(Get, "", [](THttpEngine*) { throw Exception("boom"); });
    EXPECT_TRUE(r.starts_with("HTTP/1.0 500 Internal Server Error\r\ncontent-type: text/html\r\nPragma: no-cache\r\n"))
        << r;
}

TEST(ErrorPage, MarkupInTheMessageIsEscapedOnThePage) {
    TestCgiEngine e;
    const std::string message = "Cannot open \"<img src=x onerror=alert(1)>&amp;.jpg\"";
    std::string r = e.Run(Get, "", [&](THttpEngine*) { throw Exception(message); });
    EXPECT_EQ(r,
              "HTTP/1.0 500 Internal Server Error\r\ncontent-type: text/html\r\n\r\n<html><body>Unhandled "
              "Exception: Cannot open "
              "&quot;&lt;img src=x onerror=alert(1)&gt;&amp;amp;.jpg&quot;</body></html>\r\n");
    EXPECT_EQ(http::HtmlEscape("plain text, 'quoted' \x01\xff"), "plain text, 'quoted' \x01\xff");
}

TEST(ErrorPage, ErrorRaisedByTheErrorHandlerIsReported) {
    TestCgiEngine e;
    std::string seen;
    e.SetOnRequestError([&](THttpEngine*, const std::exception& error) {
        seen = error.what();
        throw Exception("second");
    });
    std::string r = e.Run(Get, "", [](THttpEngine*) { throw Exception("first"); });
    EXPECT_EQ(seen, "first");
    EXPECT_NE(r.find("Unhandled Exception: second"), std::string::npos);
}

TEST(ErrorPage, HandledErrorLeavesTheResponseToTheErrorHandler) {
    TestCgiEngine e;
    e.SetOnRequestError([](THttpEngine*, const std::exception&) { HttpSend("handled"); });
    std::string r = e.Run(Get, "", [](THttpEngine*) { throw Exception("first"); });
    EXPECT_EQ(r.find("Unhandled"), std::string::npos);
    EXPECT_NE(r.find("handled"), std::string::npos);
}

TEST(EventOrder, PrepareFirstExecThenNoLastInAResidentProcess) {
    TestCgiEngine e;
    std::string order;
    e.SetOnPrepareRequest([&](THttpEngine*) { order += "P"; });
    e.SetOnFirstExecRequest([&](THttpEngine*) { order += "F"; });
    e.SetOnLastExecRequest([&](THttpEngine*) { order += "L"; });
    e.Run(Get, "", [&](THttpEngine*) { order += "E"; });
    e.Run(Get, "", [&](THttpEngine*) { order += "E"; });
    // The first request of the process (if this test runs first) fires F once at most.
    EXPECT_TRUE(order == "PFEPE" || order == "PEPE") << order;
}
