#include "engine/hostings/HostingChoice.h"

#include "engine/HttpUtils.h"
#include "engine/StringList.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Text.h"

bool IsWebServerCgiRequest() {
    std::string gateway, method;
    platform::ReadEnvironmentVariable("GATEWAY_INTERFACE", gateway);
    platform::ReadEnvironmentVariable("REQUEST_METHOD", method);
    return text::StartsWith(text::UpperCase(gateway), "CGI/") && !method.empty();
}

bool IsOwnerCommand() {
    // A FastCGI start may carry "--threads N" with its socket on standard input.
    if (platform::RunningAsLibrary() || IsWebServerCgiRequest() || IsFastCgi()) return false;
    for (const char* name : {"GATEWAY_INTERFACE", "REQUEST_METHOD", "SERVER_SOFTWARE"}) {
        std::string value;
        if (platform::ReadEnvironmentVariable(name, value)) return false;
    }
    const auto& args = platform::CommandLineArguments();
    return !args.empty() && text::StartsWith(args[0], "--");
}

bool IsServerLaunch() {
    if (IsWebServerCgiRequest() || IsFastCgi()) return false;
    const auto& args = platform::CommandLineArguments();
    if (http::GetEnvVar("SERVER_SOFTWARE").empty() && args.empty()) return true;
    return args.size() == 2 && text::Trim(args[0]) == "$$START_SERVER";
}

bool IsStandardCgi() {
    if (platform::RunningAsLibrary() || IsFastCgi()) return false;
    // A web server's CGI request counts even from a server that leaves out
    // SERVER_SOFTWARE: without it such a process would answer nothing.
    bool started = !http::GetEnvVar("SERVER_SOFTWARE").empty() || IsServerLaunch() || IsWebServerCgiRequest();
    return started && text::UpperCase(http::GetEnvVar("CGI_VERSION")).find("WIN") == std::string::npos;
}

bool IsWinCgi() {
    if (IsWebServerCgiRequest() || IsFastCgi()) return false;
    bool result = IsServerLaunch();
    const auto& args = platform::CommandLineArguments();
    if (!args.empty() && platform::FileExists(http::WithSystemDrive(args[0]))) {
        std::string version = text::UpperCase(http::GetEnvVar("CGI_VERSION"));
        if (version.empty() || version.find("WIN") != std::string::npos) result = true;
    }
    return result;
}

StringList* EnvironmentList() {
    auto* list = new StringList(true);
    for (auto& entry : platform::EnvironmentBlock()) list->Add(std::move(entry));
    return list;
}
