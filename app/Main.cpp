// The program a web server starts for each request.
#include <exception>
#include <string>

#include "app/MainForm.h"
#include "engine/hostings/CgiStdEngine.h"
#include "engine/Log.h"
#include "engine/HttpEngine.h"
#include "engine/hostings/ServerMode.h"
#include "engine/hostings/WinCgiEngine.h"
#include "engine/RequestLifecycle.h"
#include "platform/Environment.h"

int main(int argc, char** argv) {
    platform::SetCommandLine(argc, argv);
    InitializeEngineProcess();
    // Each start-up hands the request to a live server instance when there is
    // one; that ends the process.
    StandardCgiStartup();
    WinCgiStartup();
    // Creating the form serves the request; the CGI hostings end the process
    // as soon as the response is sent.
    try {
        new TMainform();
    } catch (const std::exception& error) {
        // Nothing served (a Win-CGI profile that cannot be read): no response.
        WriteLog(error.what());
        FinalizeServerMode();
        return 1;
    }
    FinalizeServerMode();
    return 0;
}
