#include "platform/Environment.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

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

static std::mutex& ModulePathMutex() {
    static std::mutex m;
    return m;
}
// The path never changes while the program runs; the gallery asks for it for
// every trace line, so it is looked up once (again after the library mode is set).
static std::string& CachedModulePath() {
    static std::string path;
    return path;
}

bool RunningAsLibrary() { return g_library.load(); }
void SetRunningAsLibrary(bool value) {
    g_library.store(value);
    std::lock_guard<std::mutex> guard(ModulePathMutex());
    CachedModulePath().clear();
}

static std::string LookUpModulePath();

namespace {
thread_local std::string t_threadModulePath;
}  // namespace

void SetThreadModulePath(const std::string& path) { t_threadModulePath = path; }

std::string ModulePath() {
    if (!t_threadModulePath.empty()) return t_threadModulePath;
    std::lock_guard<std::mutex> guard(ModulePathMutex());
    std::string& cached = CachedModulePath();
    if (cached.empty()) cached = LookUpModulePath();
    return cached;
}

static std::string LookUpModulePath() {
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
