#include "platform/Environment.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/EnvironmentParts.h"

extern char** environ;

namespace platform {
using environment_parts::Arguments;

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

std::string environment_parts::LookUpModulePath() {
    if (RunningAsLibrary()) {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) && info.dli_fname) {
            char resolved[PATH_MAX];
            if (realpath(info.dli_fname, resolved)) return resolved;
            return info.dli_fname;
        }
    }
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace platform
