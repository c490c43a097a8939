// The base of the CGI-style hostings (standard CGI, Win-CGI, the server
// mode, FastCGI): the response goes to a byte stream as text lines, and a
// process serving one request ends with it.
#pragma once
#include "engine/HttpEngine.h"

class THttpCGIEngine : public THttpEngine {
public:
    explicit THttpCGIEngine(TComponent* owner);
    bool CGIAutoTerminate = true;
    void WriteHeaderLine(const std::string& name, const std::string& value) override;
    void EndHeader() override;
    void FinishRequest() override;
    void EndAfterErrorPage() override;
    bool EndsProcessWhenFinished() const override {
        return CGIAutoTerminate && Lifetime() == TProcessLifetime::OneRequestPerProcess;
    }
    // Serves one request; with no streams the hosting uses its own.
    virtual void ServeRequest(Stream* input, Stream* output, StringList* variables) = 0;
};
