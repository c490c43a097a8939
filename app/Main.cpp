// The program a web server starts for each request.
#include <cstdio>
#include <exception>
#include <string>

#include "app/MainForm.h"
#include "app/ThumbnailCommand.h"
#include "engine/hostings/CgiStdEngine.h"
#include "engine/hostings/HostingChoice.h"
#include "engine/Log.h"
#include "engine/HttpEngine.h"
#include "engine/hostings/ServerMode.h"
#include "engine/hostings/WinCgiEngine.h"
#include "engine/RequestLifecycle.h"
#include "platform/Environment.h"
#include "platform/Exception.h"

int main(int argc, char** argv) {
    platform::SetCommandLine(argc, argv);
    InitializeEngineProcess();
    // The site owner's command, run by hand; a web server's request is
    // recognised by its variables first and never gets here.
    if (IsOwnerCommand()) return RunOwnerCommand(platform::CommandLineArguments());
    // A FastCGI server (a listening socket on standard input, or --fastcgi)
    // is recognised before anything else a start without arguments may mean.
    bool fastCgi = IsFastCgi();
    // Each CGI start-up hands the request to a live server instance when
    // there is one; that ends the process.
    if (!fastCgi) {
        StandardCgiStartup();
        WinCgiStartup();
    }
    // Creating the form serves the request; the CGI hostings end the process
    // as soon as the response is sent, the FastCGI hosting when stopped.
    try {
        new TMainform();
    } catch (const UsageError& error) {
        // A command line that cannot be served (a FastCGI address that is
        // none): nothing was made.
        std::fprintf(stderr, "pictorama: %s\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        // Nothing served (a Win-CGI profile that cannot be read, a FastCGI
        // address that cannot be listened on): no response.
        WriteLog(error.what());
        if (fastCgi) std::fprintf(stderr, "pictorama: %s\n", error.what());
        FinalizeServerMode();
        return 1;
    }
    FinalizeServerMode();
    return 0;
}
