#include "platform/Environment.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

extern char** environ;

namespace platform {
namespace {
std::vector<std::string>& Arguments() {
    static std::vector<std::string> args;
    return args;
}
std::atomic<bool> g_library{false};
}  // namespace

std::vector<std::string> EnvironmentBlock() {
    std::vector<std::string> result;
    for (char** e = environ; e && *e; ++e) result.emplace_back(*e);
    return result;
}

bool ReadEnvironmentVariable(const std::string& name, std::string& value) {
    const char* v = getenv(name.c_str());
    if (!v) return false;
    value = v;
    return true;
}

void SetCommandLine(int argc, char** argv) {
    auto& args = Arguments();
    args.clear();
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
}

const std::vector<std::string>& CommandLineArguments() { return Arguments(); }

bool RunningAsLibrary() { return g_library.load(); }
void SetRunningAsLibrary(bool value) { g_library.store(value); }

namespace {
std::string LibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) && info.dli_fname) {
        char resolved[PATH_MAX];
        if (realpath(info.dli_fname, resolved)) return resolved;
        return info.dli_fname;
    }
    return {};
}

std::string ProgramPath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<size_t>(n));
}
}  // namespace

std::string ModulePath() {
    // Neither file moves while it runs; a page asks for the path with every
    // trace line, and resolving it costs a system call per path component.
    if (RunningAsLibrary()) {
        static const std::string library = LibraryPath();
        if (!library.empty()) return library;
    }
    static const std::string program = ProgramPath();
    return program;
}

}  // namespace platform
