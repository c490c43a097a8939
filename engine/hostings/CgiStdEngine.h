// Standard CGI: variables from the environment, body on standard input,
// response on standard output, one request per process.
#pragma once
#include "engine/hostings/HttpCgiEngine.h"

class TCGIStdEngine : public THttpCGIEngine {
public:
    explicit TCGIStdEngine(TComponent* owner) : THttpCGIEngine(owner) {}
    void ServeRequest(Stream* input, Stream* output, StringList* variables) override;
    // A console host's request; this program is never one.
    virtual void RunConsoleRequest() {}
};

// Start-up of the standard CGI hosting, before any form exists: wraps the
// standard handles, or hands the request to a running server instance (which
// ends the process).
void StandardCgiStartup();

// The calling thread's standard streams (absent until the start-up made them).
Stream* StandardInput();
Stream* StandardOutput();
void SetStandardStreams(Stream* input, Stream* output);
