// The FastCGI hosting's part in the choice of hosting.
#include "engine/hostings/FastCgiEngine.h"
#include "engine/hostings/HostingChoice.h"
#include "platform/Environment.h"
#include "platform/ListeningSocket.h"

bool IsFastCgi() {
    if (platform::RunningAsLibrary() || IsWebServerCgiRequest()) return false;
    const auto& args = platform::CommandLineArguments();
    if (!args.empty() && args[0] == "--fastcgi") return true;
    return platform::IsListeningSocket(0);
}

THttpCGIEngine* NewFastCgiEngine(TComponent* owner) { return new TFastCgiEngine(owner); }
