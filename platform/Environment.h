// Process environment, command line and the program's own module.
#pragma once
#include <string>
#include <vector>

namespace platform {

// Every entry of the environment block as NAME=value, in block order.
std::vector<std::string> EnvironmentBlock();

// The variable's value; false when it is not set.
bool ReadEnvironmentVariable(const std::string& name, std::string& value);

// main() records its arguments here; CommandLineArguments() excludes the program name.
void SetCommandLine(int argc, char** argv);
const std::vector<std::string>& CommandLineArguments();

// True while the code runs inside the shared library loaded by a web server.
bool RunningAsLibrary();
void SetRunningAsLibrary(bool value);

// Full path of the running program file, or of the library when loaded as one.
// A hosting that serves several galleries from one process names, for the
// calling thread, the program file its current request addresses instead.
std::string ModulePath();
// Sets (or with "" clears) the calling thread's program file.
void SetThreadModulePath(const std::string& path);

}  // namespace platform
