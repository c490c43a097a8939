// The CGI server mode: a resident instance serving requests that short-lived
// CGI processes hand over through files.
#include "engine/CgiStdEngine.h"
#include "engine/DebugLog.h"
#include "platform/Process.h"

void ForwardRequestToServer(Stream* input, Stream* output, StringList* variables) {
    delete input;
    delete output;
    delete variables;
    WriteLog("Server mode is not available in this build");
    platform::EndProcessNow(1);
}

void RunServerLoop(THttpCGIEngine*) {
    WriteLog("Server mode is not available in this build");
    platform::EndProcessNow(1);
}
