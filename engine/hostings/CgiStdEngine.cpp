#include "engine/hostings/CgiStdEngine.h"

#include <memory>

#include "engine/Log.h"
#include "engine/hostings/HostingChoice.h"
#include "engine/hostings/ServerExchange.h"
#include "engine/hostings/ServerMode.h"
#include "engine/HttpUtils.h"
#include "platform/Environment.h"
#include "platform/HiddenProcess.h"
#include "platform/Process.h"

namespace {
thread_local Stream* t_standardInput = nullptr;
thread_local Stream* t_standardOutput = nullptr;
}  // namespace

Stream* StandardInput() { return t_standardInput; }
Stream* StandardOutput() { return t_standardOutput; }
void SetStandardStreams(Stream* input, Stream* output) {
    t_standardInput = input;
    t_standardOutput = output;
}

void StandardCgiStartup() {
    SetStandardStreams(nullptr, nullptr);
    if (!IsStandardCgi() && !IsServerLaunch()) return;
    SetStandardStreams(new FileStream(platform::File::Borrow(0)), new FileStream(platform::File::Borrow(1)));
    if (!IsServerRunning()) return;
    // A request the request file cannot carry unchanged is served here, as
    // without a server instance.
    std::unique_ptr<StringList> variables(EnvironmentList());
    if (RequestVariablesFault(variables->Items()).empty())
        ForwardRequestToServer(StandardInput(), StandardOutput(), variables.release());
}

void TCGIStdEngine::ServeRequest(Stream* input, Stream* output, StringList* variables) {
    if (output) {
        SetStandardStreams(input, output);
        ExecuteRequest(input, output, variables);
        return;
    }
    delete input;
    delete variables;
    if (ServerMode() != 0 && !IsServerLaunch() && !IsServerRunning()) {
        std::unique_ptr<StringList> environment(EnvironmentList());
        // Start a resident instance and hand it this request (unless the
        // request file cannot carry it: then it is served here). The instance
        // must not look like a web server's CGI request, or it would serve as one.
        if (RequestVariablesFault(environment->Items()).empty()) {
            platform::StartHiddenProcess(http::ModulePath(), {"$$START_SERVER", "X"},
                                         {"GATEWAY_INTERFACE", "REQUEST_METHOD"});
            platform::SleepMilliseconds(600);
            ForwardRequestToServer(StandardInput(), StandardOutput(), environment.release());
        }
    }
    if (IsServerLaunch()) {
        if (ServerMode() == 0) SetServerMode(1);
        RunServerLoop(this);
    }
    ExecuteRequest(StandardInput(), StandardOutput(), EnvironmentList());
}
