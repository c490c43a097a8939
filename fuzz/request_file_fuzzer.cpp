// Server-mode request files: the variable lines up to the empty line, then
// the body, checked and served by an engine as the server instance serves a
// queued request.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/hostings/HttpCgiEngine.h"
#include "engine/hostings/ServerExchange.h"
#include "engine/hostings/ServerMode.h"
#include "engine/StringList.h"
#include "platform/Stream.h"

namespace {

// Writes into a string; the request frees its streams.
class Sink : public Stream {
public:
    explicit Sink(std::string& target) : target_(target) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        target_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
        return count;
    }
    int64_t Seek(int64_t, int) override { return static_cast<int64_t>(target_.size()); }

private:
    std::string& target_;
};

// The resident instance's engine: many requests, one process.
class ServerEngine : public THttpCGIEngine {
public:
    ServerEngine() : THttpCGIEngine(nullptr) {
        SetServerMode(1);
        SetLifetime(TProcessLifetime::Resident);
        SetOnExecRequest([](THttpEngine* e) {
            for (const auto& name : e->GetFormFieldNames()) e->WriteLine(name + "=" + e->GetFormField(name, ""));
            e->WriteLine(e->GetVar("QUERY_STRING") + e->GetVar("REMOTE_ADDR"));
        });
        // Refused requests answer in the body instead of the log file, so
        // that fuzzing writes no files.
        SetOnRequestError([](THttpEngine* e, const std::exception& error) { e->WriteLine(error.what()); });
    }
    void ServeRequest(Stream* input, Stream* output, StringList* variables) override {
        ExecuteRequest(input, output, variables);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ServerEngine* engine = new ServerEngine();
    auto* request = new MemoryStream();
    request->Write(data, static_cast<int64_t>(size));
    request->Seek(0, 0);
    std::vector<std::string> lines;
    // What the server refuses (no empty line, or a head the client would
    // never write) is not served.
    if (!ReadRequestHead(*request, lines) || !RequestVariablesFault(lines).empty()) {
        delete request;
        return 0;
    }
    // An accepted head is exactly what a client writes for these variables:
    // each one and CR LF, then CR LF. No other bytes can stand for them.
    std::string written;
    for (const auto& line : lines) written += line + "\r\n";
    written += "\r\n";
    if (size < written.size() || std::string(reinterpret_cast<const char*>(data), written.size()) != written)
        __builtin_trap();
    auto* variables = new StringList(false);
    for (auto& line : lines) variables->Add(std::move(line));
    std::string response;
    engine->ServeRequest(request, new Sink(response), variables);
    // The base name a client with this address would use stays a plain name.
    std::string base = RequestBaseName("p_", std::string(reinterpret_cast<const char*>(data), size < 80 ? size : 80), 0x12345);
    if (base.find('/') != std::string::npos || base.find('\0') != std::string::npos) __builtin_trap();
    return 0;
}
