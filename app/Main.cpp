// The program a web server starts for each request.
#include "platform/Environment.h"

int main(int argc, char** argv) {
    platform::SetCommandLine(argc, argv);
    return 0;
}
