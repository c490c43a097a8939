// The program a web server starts for each request.
#include "app/MainForm.h"
#include "engine/CgiStdEngine.h"
#include "engine/HttpEngine.h"
#include "platform/Environment.h"

int main(int argc, char** argv) {
    platform::SetCommandLine(argc, argv);
    InitializeEngineProcess();
    StandardCgiStartup();
    // Creating the form serves the request; the CGI hostings end the process
    // as soon as the response is sent.
    new TMainform();
    return 0;
}
