// The extension hosting in-process: a fake server hands the engine control
// blocks, and the tests watch what crosses the callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/hostings/GeneralEngine.h"
#include "engine/hostings/IsapiEngine.h"
#include "platform/Environment.h"

using namespace isapi;

namespace {

// One connection of a fake server; ConnID points here.
struct FakeServer {
    std::map<std::string, std::string> variables;
    std::string body;
    DWORD available = 0;
    bool refuseSmallBuffers = true;  // else values are cut to the buffer
    bool readFails = false;
    std::string response;
    std::string redirect;
    std::vector<DWORD> readPieces;  // sizes asked of ReadClient
    size_t bodyPosition = 0;

    std::string method = "GET";
    std::string query;
    bool hasQuery = true;
    std::string pathTranslated = "/srv/www";
    EXTENSION_CONTROL_BLOCK ecb{};

    static FakeServer& Of(HCONN c) { return *static_cast<FakeServer*>(c); }

    static BOOL GetVariable(HCONN c, LPSTR name, LPVOID buffer, LPDWORD size) {
        auto& s = Of(c);
        auto it = s.variables.find(name);
        if (it == s.variables.end()) return False;
        DWORD needed = static_cast<DWORD>(it->second.size() + 1);
        if (needed > *size) {
            if (s.refuseSmallBuffers) {
                *size = needed;
                return False;
            }
            std::memcpy(buffer, it->second.data(), *size - 1);
            static_cast<char*>(buffer)[*size - 1] = '\0';
            return True;
        }
        std::memcpy(buffer, it->second.c_str(), needed);
        *size = needed;
        return True;
    }
    static BOOL Write(HCONN c, LPVOID buffer, LPDWORD bytes, DWORD) {
        Of(c).response.append(static_cast<char*>(buffer), *bytes);
        return True;
    }
    static BOOL Read(HCONN c, LPVOID buffer, LPDWORD size) {
        auto& s = Of(c);
        s.readPieces.push_back(*size);
        if (s.readFails) return False;
        size_t n = std::min<size_t>(*size, s.body.size() - s.bodyPosition);
        std::memcpy(buffer, s.body.data() + s.bodyPosition, n);
        s.bodyPosition += n;
        *size = static_cast<DWORD>(n);
        return True;
    }
    static BOOL Support(HCONN c, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD) {
        if (request != HSE_REQ_SEND_URL_REDIRECT_RESP) return False;
        Of(c).redirect.assign(static_cast<char*>(buffer), *size);
        return True;
    }

    EXTENSION_CONTROL_BLOCK* Block() {
        ecb = {};
        ecb.cbSize = sizeof ecb;
        ecb.ConnID = this;
        ecb.lpszMethod = method.data();
        ecb.lpszQueryString = hasQuery ? query.data() : nullptr;
        ecb.lpszPathTranslated = pathTranslated.data();
        ecb.cbTotalBytes = static_cast<DWORD>(body.size());
        ecb.cbAvailable = available;
        ecb.lpbData = reinterpret_cast<LPBYTE>(body.data());
        bodyPosition = available;
        ecb.GetServerVariable = &GetVariable;
        ecb.WriteClient = &Write;
        ecb.ReadClient = &Read;
        ecb.ServerSupportFunction = &Support;
        return &ecb;
    }
};

class IsapiTest : public ::testing::Test {
protected:
    std::unique_ptr<TIsapiEngine> engine = std::make_unique<TIsapiEngine>(nullptr);
    FakeServer server;

    // Serves one request with the handler; returns HttpExtensionProc's status.
    DWORD Serve(std::function<void(THttpEngine*)> handler) {
        engine->SetOnExecRequest(std::move(handler));
        return HttpExtensionProc(server.Block());
    }
    // The request variables the handler saw.
    std::vector<std::string> Variables() {
        std::vector<std::string> seen;
        Serve([&](THttpEngine* e) { seen = e->ServerVariables()->Items(); });
        return seen;
    }
    static bool Has(const std::vector<std::string>& list, const std::string& entry) {
        return std::find(list.begin(), list.end(), entry) != list.end();
    }
    std::string VarSeen(const std::string& name) {
        std::string value;
        Serve([&](THttpEngine*) { value = HttpGetVar(name); });
        return value;
    }
};

// --- The variable list -----------------------------------------------------

TEST_F(IsapiTest, GetWithQueryListsQueryMethodAndZeroLength) {
    server.query = "W";
    auto list = Variables();
    EXPECT_TRUE(Has(list, "QUERY_STRING=W"));
    EXPECT_TRUE(Has(list, "REQUEST_METHOD=GET"));
    EXPECT_TRUE(Has(list, "CONTENT_LENGTH=0"));
    EXPECT_TRUE(Has(list, "PATH_TRANSLATED=/srv/www"));
}

TEST_F(IsapiTest, AbsentQueryStringAddsNoEntry) {
    server.hasQuery = false;
    for (const auto& entry : Variables()) EXPECT_FALSE(entry.starts_with("QUERY_STRING=")) << entry;
}

TEST_F(IsapiTest, UsualServerVariablesAreListedEvenWhenEmpty) {
    server.variables["SCRIPT_NAME"] = "/g/pictorama.so";
    auto list = Variables();
    EXPECT_TRUE(Has(list, "SCRIPT_NAME=/g/pictorama.so"));
    EXPECT_TRUE(Has(list, "REMOTE_USER="));
    EXPECT_TRUE(Has(list, "SERVER_PORT_SECURE="));
    EXPECT_TRUE(Has(list, "UNMAPPED_REMOTE_USER="));
}

TEST_F(IsapiTest, ListIsSortedWithoutDuplicates) {
    server.variables["ALL_HTTP"] = "HTTP_ACCEPT:*/*\nHTTP_ACCEPT:*/*\n";
    server.variables["HTTP_ACCEPT"] = "*/*";
    auto list = Variables();
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    EXPECT_EQ(std::count(list.begin(), list.end(), "HTTP_ACCEPT=*/*"), 1);
}

TEST_F(IsapiTest, AllHttpLinesBecomeEntriesSplitAtTheFirstColon) {
    server.variables["ALL_HTTP"] = "HTTP_HOST:example.org:8080\nHTTP_ACCEPT_LANGUAGE:en\n";
    auto list = Variables();
    EXPECT_TRUE(Has(list, "HTTP_HOST=example.org:8080"));
    EXPECT_TRUE(Has(list, "HTTP_ACCEPT_LANGUAGE=en"));
}

TEST_F(IsapiTest, AllHttpLineWithEqualsSignIsTakenAsIs) {
    server.variables["ALL_HTTP"] = "HTTP_X_TOKEN=abc\n";
    EXPECT_TRUE(Has(Variables(), "HTTP_X_TOKEN=abc"));
}

TEST_F(IsapiTest, AllHttpLineWithoutSeparatorAddsNothing) {
    server.variables["ALL_HTTP"] = "HTTP_A:1\n";
    size_t without = Variables().size();
    server.variables["ALL_HTTP"] = "HTTP_A:1\nJUNKLINE\nHTTP_B:2";
    auto list = Variables();
    EXPECT_EQ(list.size(), without + 1);
    EXPECT_TRUE(Has(list, "HTTP_B=2"));
    for (const auto& entry : list)
        if (!entry.starts_with("ALL_HTTP=")) {
            EXPECT_EQ(entry.find("JUNK"), std::string::npos) << entry;
        }
}

TEST_F(IsapiTest, AllHttpEntriesAreTrimmed) {
    server.variables["ALL_HTTP"] = "HTTP_A:1\r\n  HTTP_B:2  \n";
    auto list = Variables();
    EXPECT_TRUE(Has(list, "HTTP_A=1"));
    EXPECT_TRUE(Has(list, "HTTP_B=2"));
}

TEST_F(IsapiTest, VariableMissingFromTheListIsAskedOfTheServer) {
    server.variables["HTTP_X_EXTRA"] = "from server";
    EXPECT_EQ(VarSeen("HTTP_X_EXTRA"), "from server");
}

// --- Long variables ----------------------------------------------------------

TEST_F(IsapiTest, VariableRefusedForASmallBufferIsReadWhole) {
    std::string value(2000, 'v');
    value.back() = 'E';
    server.variables["HTTP_X_LONG"] = value;
    server.refuseSmallBuffers = true;
    EXPECT_EQ(VarSeen("HTTP_X_LONG"), value);
}

TEST_F(IsapiTest, VariableCutToTheBufferIsAskedAgainUntilWhole) {
    std::string value(5000, 'c');
    value.back() = 'E';
    server.variables["HTTP_X_LONG"] = value;
    server.refuseSmallBuffers = false;
    EXPECT_EQ(VarSeen("HTTP_X_LONG"), value);
}

TEST_F(IsapiTest, VariablesAroundTheFirstBufferSizeAreReadWhole) {
    for (bool refuse : {true, false}) {
        server.refuseSmallBuffers = refuse;
        for (size_t n : {509, 510, 511, 512, 513, 1022, 1023, 1024}) {
            std::string value(n, 'a');
            server.variables["HTTP_X"] = value;
            EXPECT_EQ(VarSeen("HTTP_X").size(), n) << "refuse " << refuse;
        }
    }
}

TEST_F(IsapiTest, VariableValueIsTrimmedOfControlCharacters) {
    server.variables["HTTP_X"] = " \t value \r\n";
    EXPECT_EQ(VarSeen("HTTP_X"), "value");
}

// --- The body --------------------------------------------------------------

TEST_F(IsapiTest, StreamGivesDeliveredBytesThenReadsTheRestInBoundedPieces) {
    server.body.resize(100000);
    for (size_t i = 0; i < server.body.size(); ++i) server.body[i] = static_cast<char>('a' + i % 26);
    server.available = 1000;
    server.Block();
    Context().hostData = &server.ecb;
    TIsapiStream stream;
    std::string got(100000, '\0');
    EXPECT_EQ(stream.Read(got.data(), 100000), 100000);
    Context().hostData = nullptr;
    EXPECT_EQ(got, server.body);
    ASSERT_FALSE(server.readPieces.empty());
    for (DWORD piece : server.readPieces) EXPECT_LE(piece, 32386u);
    EXPECT_EQ(server.readPieces.front(), 32386u);
}

TEST_F(IsapiTest, FailedReadClientReportsFailure) {
    server.body = "abcdef";
    server.available = 2;
    server.readFails = true;
    server.Block();
    Context().hostData = &server.ecb;
    TIsapiStream stream;
    char buffer[6];
    EXPECT_EQ(stream.Read(buffer, 6), -1);
    Context().hostData = nullptr;
}

TEST_F(IsapiTest, ReadClientDeliveringNothingReportsFailure) {
    server.body = "ab";
    server.ecb.cbTotalBytes = 10;
    server.available = 2;
    server.Block();
    Context().hostData = &server.ecb;
    TIsapiStream stream;
    char buffer[10];
    EXPECT_EQ(stream.Read(buffer, 10), -1);
    Context().hostData = nullptr;
}

TEST_F(IsapiTest, PostBodyBeyondTheDeliveredBytesReachesTheFormFields) {
    std::string tail(70000, 'z');
    server.method = "POST";
    server.body = "a=1&b=" + tail;
    server.available = 3;
    server.variables["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    std::string a, b;
    Serve([&](THttpEngine* e) {
        a = e->GetFormField("a", "");
        b = e->GetFormField("b", "");
    });
    EXPECT_EQ(a, "1");
    EXPECT_EQ(b, tail);
    EXPECT_EQ(server.bodyPosition, server.body.size());
}

// --- The response ------------------------------------------------------------

TEST_F(IsapiTest, ResponseReachesTheClientAsRawBytesWithItsStatusLine) {
    server.variables["SERVER_SOFTWARE"] = "Apache/2.4";  // no Status: rewriting here
    EXPECT_EQ(Serve([](THttpEngine*) { HttpSend("<p>x</p>"); }), HSE_STATUS_SUCCESS);
    EXPECT_EQ(server.response,
              "HTTP/1.0 200 OK\r\ncontent-type: text/html\r\ncontent-length: 10\r\n"
              "Connection: Keep-Alive\r\n\r\n<p>x</p>\r\n");
}

TEST_F(IsapiTest, LocationHeaderBecomesAServerRedirect) {
    Serve([](THttpEngine* e) {
        e->AddHeader("location", "http://example.org/next");
        e->AddHeader("X-Other", "1");
    });
    EXPECT_EQ(server.redirect, "http://example.org/next");
    EXPECT_EQ(server.response.find("location"), std::string::npos);
    EXPECT_NE(server.response.find("X-Other: 1\r\n"), std::string::npos);
}

TEST_F(IsapiTest, RedirectUrlIsCutToWhatTheServerTakes) {
    std::string url = "http://example.org/" + std::string(2000, 'p');
    Serve([&](THttpEngine* e) { e->AddHeader("Location", url); });
    EXPECT_EQ(server.redirect, url.substr(0, 1024));
}

TEST_F(IsapiTest, HandlerErrorGivesTheErrorPageWithItsStatusAndTheCallStillSucceeds) {
    EXPECT_EQ(Serve([](THttpEngine*) { throw Exception("broken"); }), HSE_STATUS_SUCCESS);
    EXPECT_EQ(server.response,
              "HTTP/1.0 500 Internal Server Error\r\ncontent-type: text/html\r\n\r\n"
              "<html><body>Unhandled Exception: broken</body></html>\r\n");
    // The server learns the status too, for its log and its own handling.
    EXPECT_EQ(server.ecb.dwHttpStatusCode, 500u);
    server.response.clear();
    Serve([](THttpEngine*) { HttpSend("fine"); });
    EXPECT_EQ(server.ecb.dwHttpStatusCode, 200u);
}

// A library's last request is the one before the server unloads it, not
// each request: what it keeps for requests (the thumbnail threads) lives
// until TerminateExtension.
TEST_F(IsapiTest, LastRequestEventFiresWhenTheServerIsDoneNotAfterEachRequest) {
    int last = 0;
    engine->SetOnLastExecRequest([&](THttpEngine*) { ++last; });
    Serve([](THttpEngine*) { HttpSend("one"); });
    Serve([](THttpEngine*) { HttpSend("two"); });
    EXPECT_EQ(last, 0);
    TerminateExtension(HSE_TERM_ADVISORY_UNLOAD);
    EXPECT_EQ(last, 1);
}

TEST_F(IsapiTest, ControlBlockIsForgottenAfterTheRequest) {
    Serve([](THttpEngine*) {});
    EXPECT_EQ(CurrentControlBlock(), nullptr);
}

// --- Entry points --------------------------------------------------------------

TEST_F(IsapiTest, ExtensionVersionIsTwoZeroWithEmptyDescription) {
    HSE_VERSION_INFO info;
    std::memset(&info, 'z', sizeof info);
    EXPECT_EQ(GetExtensionVersion(&info), True);
    EXPECT_EQ(info.dwExtensionVersion, 0x00020000u);
    EXPECT_STREQ(info.lpszExtensionDesc, "");
}

TEST_F(IsapiTest, ExtensionDescriptionIsCutTo255Characters) {
    engine->OnIsapiExtensionVersion = [](uint32_t&, std::string& desc, bool&) { desc.assign(400, 'd'); };
    HSE_VERSION_INFO info{};
    EXPECT_EQ(GetExtensionVersion(&info), True);
    EXPECT_EQ(std::string(info.lpszExtensionDesc), std::string(255, 'd'));
}

TEST_F(IsapiTest, ExtensionVersionHandlerErrorRefusesTheLoad) {
    engine->OnIsapiExtensionVersion = [](uint32_t&, std::string&, bool&) { throw Exception("no"); };
    HSE_VERSION_INFO info{};
    EXPECT_EQ(GetExtensionVersion(&info), False);
}

TEST_F(IsapiTest, TerminateExtensionWithoutTerminateKeepsTheLibrary) {
    EXPECT_EQ(TerminateExtension(HSE_TERM_ADVISORY_UNLOAD), False);
    engine->Terminate();
    EXPECT_EQ(TerminateExtension(HSE_TERM_ADVISORY_UNLOAD), True);
}

TEST_F(IsapiTest, TerminateExtensionWithFailingLastRequestHandlerLetsGo) {
    engine->SetOnLastExecRequest([](THttpEngine*) { throw Exception("late"); });
    EXPECT_EQ(TerminateExtension(HSE_TERM_MUST_UNLOAD), True);
}

TEST_F(IsapiTest, FilterAsksForNoNotificationsWithoutAHandler) {
    HTTP_FILTER_VERSION v{};
    v.dwServerFilterVersion = HTTP_FILTER_REVISION;
    v.dwFlags = 0xffff;
    EXPECT_EQ(GetFilterVersion(&v), True);
    EXPECT_EQ(v.dwFlags, 0u);
    EXPECT_EQ(v.dwFilterVersion, HTTP_FILTER_REVISION);
}

TEST_F(IsapiTest, FilterDescriptionIsCutTo256Characters) {
    engine->OnIsapiFilterVersion = [](int32_t&, int32_t&, std::string& desc, int32_t& flags, bool&) {
        desc.assign(300, 'f');
        flags = 0x4000;
    };
    HTTP_FILTER_VERSION v{};
    EXPECT_EQ(GetFilterVersion(&v), True);
    EXPECT_EQ(std::string(v.lpszFilterDesc), std::string(256, 'f'));
    EXPECT_EQ(v.dwFlags, 0x4000u);
}

TEST_F(IsapiTest, FilterProcAnswersNextNotificationOrWhatTheHandlerReached) {
    HTTP_FILTER_CONTEXT pfc{};
    EXPECT_EQ(HttpFilterProc(&pfc, 1, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
    engine->OnIsapiFilterProc = [](HTTP_FILTER_CONTEXT&, int32_t, void*, int32_t& result) {
        result = static_cast<int32_t>(SF_STATUS_REQ_HANDLED_NOTIFICATION);
        throw Exception("half way");
    };
    EXPECT_EQ(HttpFilterProc(&pfc, 1, nullptr), SF_STATUS_REQ_HANDLED_NOTIFICATION);
    EXPECT_EQ(CurrentFilterContext(), nullptr);
}

int g_filterLookups = 0;
BOOL CountingFilterLookup(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID buffer, LPDWORD size) {
    ++g_filterLookups;
    if (*size < 3) return False;
    std::memcpy(buffer, "on", 3);
    *size = 3;
    return True;
}

TEST_F(IsapiTest, FilterContextServesLookupsDuringTheCallOnly) {
    HTTP_FILTER_CONTEXT pfc{};
    pfc.GetServerVariable = &CountingFilterLookup;
    g_filterLookups = 0;
    std::string during;
    engine->OnIsapiFilterProc = [&](HTTP_FILTER_CONTEXT&, int32_t, void*, int32_t&) {
        during = HttpGetVar("HTTPS");
    };
    HttpFilterProc(&pfc, 1, nullptr);
    EXPECT_EQ(during, "on");
    EXPECT_EQ(g_filterLookups, 1);
    // No control block and no filter call: nothing to ask.
    EXPECT_EQ(CurrentFilterContext(), nullptr);
    EXPECT_EQ(HttpGetVar("HTTPS"), "");
    EXPECT_EQ(g_filterLookups, 1);
}

TEST_F(IsapiTest, EntryPointsWithoutAnEngineAnswerTheirFailureValues) {
    engine.reset();
    HSE_VERSION_INFO info{};
    EXPECT_EQ(GetExtensionVersion(&info), False);
    EXPECT_EQ(HttpExtensionProc(server.Block()), HSE_STATUS_ERROR);
    HTTP_FILTER_VERSION v{};
    EXPECT_EQ(GetFilterVersion(&v), False);
}

}  // namespace

// --- The engine component on the form ------------------------------------------

namespace {

class LibraryModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetRunningAsLibrary(true);
        TGeneralHttpEngine::SetLibraryEngineFactory([](TComponent* owner) -> THttpEngine* {
            return new TIsapiEngine(owner);
        });
    }
    void TearDown() override {
        form.reset();
        platform::SetRunningAsLibrary(false);
        TGeneralHttpEngine::SetLibraryEngineFactory(nullptr);
    }
    std::unique_ptr<TForm> form = std::make_unique<TForm>();
};

TEST_F(LibraryModeTest, GeneralEngineCreatesTheExtensionEngineAndHandsItTheFilterEvents) {
    auto* general = new TGeneralHttpEngine(form.get());
    ASSERT_NE(TIsapiEngine::Instance(), nullptr);
    EXPECT_EQ(TGeneralHttpEngine::LibraryEngine(), TIsapiEngine::Instance());
    general->SetOnIsapiFilterVersion([](int32_t&, int32_t&, std::string& desc, int32_t& flags, bool&) {
        desc = "gallery filter";
        flags = 0x20;
    });
    HTTP_FILTER_VERSION v{};
    EXPECT_EQ(GetFilterVersion(&v), True);
    EXPECT_STREQ(v.lpszFilterDesc, "gallery filter");
    EXPECT_EQ(v.dwFlags, 0x20u);
}

TEST_F(LibraryModeTest, SettingsLoadedIntoTheFormReachTheExtensionEngine) {
    auto* general = new TGeneralHttpEngine(form.get());
    general->SetAutoContentType("text/plain");
    general->SetOnExecRequest([](THttpEngine*) { HttpSend("served"); });
    general->Loaded();
    FakeServer server;
    EXPECT_EQ(HttpExtensionProc(server.Block()), HSE_STATUS_SUCCESS);
    EXPECT_NE(server.response.find("content-type: text/plain\r\n"), std::string::npos) << server.response;
    EXPECT_TRUE(server.response.ends_with("\r\n\r\nserved\r\n")) << server.response;
}

}  // namespace

namespace {

TEST_F(IsapiTest, ValueCutJustAfterABlankIsStillAskedAgain) {
    // The first buffer takes 510 characters; the 510th is a blank, so the
    // trimmed piece is shorter than the buffer although the value goes on.
    std::string value(509, 'a');
    value += " tail";
    server.variables["HTTP_X"] = value;
    server.refuseSmallBuffers = false;
    EXPECT_EQ(VarSeen("HTTP_X"), value);
}

}  // namespace
