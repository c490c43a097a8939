// Feeds arbitrary bytes as what a web server sends on a FastCGI connection
// (begin record, parameters, body) through the FastCGI hosting: libfcgi takes
// the records apart, the hosting makes the request variables and the
// request's program file from the parameters, the engine reads the body into
// form fields, and a handler answers with what it got. Checks that the
// thread's program file is the running program's again once the request is
// over, and that an answered request's response begins with its header block.
//
// The bytes arrive as the pool takes them (engine/hostings/
// FastCgiRequestArrival.h): read without waiting, through the hosting's input
// check (FastCgiInputCheck.h), until the request's head and the body kept are
// in; libfcgi then reads those bytes alone. Inputs the check refuses, and
// requests whose head never comes whole, end with the connection closed and
// nothing served. (Before the check, a campaign
// found within a minute that a parameter whose announced name and value
// lengths add up past 2^31 makes libfcgi allocate a negative size and write
// through the null it gets.)
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/Watchdog.h"
#include "engine/hostings/FastCgiEngine.h"
#include "platform/Environment.h"
#include "platform/ListeningSocket.h"

namespace {

// What one input may send: the connection's buffers hold it and the answer,
// so that the single thread never waits on itself.
constexpr size_t MaxSent = 64 * 1024;

struct Harness {
    int listening = -1;
    sockaddr_un address{};
    socklen_t addressSize = 0;
    TFastCgiEngine* engine = nullptr;
    std::string program;
};

Harness& Setup() {
    static Harness* h = [] {
        auto* s = new Harness();
        s->listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        s->address.sun_family = AF_UNIX;
        // An abstract name: nothing on disk.
        std::string name = "pictorama-fastcgi-fuzz-" + std::to_string(getpid());
        std::memcpy(s->address.sun_path + 1, name.data(), name.size());
        s->addressSize = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (bind(s->listening, reinterpret_cast<sockaddr*>(&s->address), s->addressSize) != 0 ||
            listen(s->listening, 4) != 0 || !platform::SetNonBlocking(s->listening))
            abort();
        s->engine = new TFastCgiEngine(nullptr);
        StopWatchdog();
        s->engine->SetOnExecRequest([](THttpEngine* e) {
            e->WriteLine("program " + platform::ModulePath());
            for (const std::string& name : e->GetFormFieldNames()) e->WriteLine(name + "=" + e->GetFormField(name, ""));
            e->WriteLine("method " + e->GetRequestMethod() + " length " + std::to_string(e->GetContentLength()));
        });
        s->program = platform::ModulePath();
        return s;
    }();
    return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = Setup();
    int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&h.address), h.addressSize) != 0) abort();
    size_t sent = 0, limit = size < MaxSent ? size : MaxSent;
    while (sent < limit) {
        ssize_t n = send(client, data + sent, limit - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    shutdown(client, SHUT_WR);
    bool served = ServeWaitingConnection(h.engine, h.listening);
    if (platform::ModulePath() != h.program) abort();
    std::string answer;
    char buffer[16384];
    for (;;) {
        ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(client);
    // An answered request's first output record carries the status line
    // (as "Status:" for the servers that want it so), or the not-found answer
    // of a request whose program file is not there.
    if (served && answer.size() >= 8 + 17 && answer[1] == 6 && answer.compare(8, 17, "HTTP/1.0 200 OK\r\n") != 0 &&
        answer.compare(8, 16, "Status: 200 OK\r\n") != 0 && answer.compare(8, 23, "Status: 404 Not Found\r\n") != 0)
        abort();
    return 0;
}
