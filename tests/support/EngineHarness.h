// An engine served in-process: a CGI-style engine whose output lands in a
// string the test owns, running one request at a time without ending the
// process (as the resident server instance does).
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/hostings/HttpCgiEngine.h"

namespace testing_support {

// Writes into a string that outlives the stream (the request frees its streams).
class StringSink : public Stream {
public:
    explicit StringSink(std::string& target) : target_(target) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        target_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
        return count;
    }
    int64_t Seek(int64_t, int) override { return static_cast<int64_t>(target_.size()); }

private:
    std::string& target_;
};

class TestCgiEngine : public THttpCGIEngine {
public:
    TestCgiEngine() : THttpCGIEngine(nullptr) {
        SetServerMode(1);
        SetLifetime(TProcessLifetime::Resident);
    }
    void ServeRequest(Stream*, Stream*, StringList*) override {}

    // Runs one request with the given variables and body; returns the raw response.
    std::string Run(const std::map<std::string, std::string>& variables, const std::string& body = "",
                    std::function<void(THttpEngine*)> handler = nullptr);
};

}  // namespace testing_support
