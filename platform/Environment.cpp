// The parts of the environment service that are the same on every system:
// the arguments kept, the library mode and the module path looked up once.
#include "platform/Environment.h"

#include <atomic>
#include <mutex>

#include "platform/EnvironmentParts.h"
#include "platform/Mutexes.h"

namespace platform {
namespace environment_parts {
std::vector<std::string>& Arguments() {
    static std::vector<std::string> args;
    return args;
}
}  // namespace environment_parts

namespace {
std::atomic<bool> g_library{false};

std::mutex& ModulePathMutex() {
    static Mutex m;
    return m;
}
// The path never changes while the program runs; the gallery asks for it for
// every trace line, so it is looked up once (again after the library mode is set).
std::string& CachedModulePath() {
    static std::string path;
    return path;
}

thread_local std::string t_threadModulePath;
}  // namespace

const std::vector<std::string>& CommandLineArguments() { return environment_parts::Arguments(); }

bool RunningAsLibrary() { return g_library.load(); }
void SetRunningAsLibrary(bool value) {
    g_library.store(value);
    std::lock_guard<std::mutex> guard(ModulePathMutex());
    CachedModulePath().clear();
}

void SetThreadModulePath(const std::string& path) { t_threadModulePath = path; }

std::string ModulePath() {
    if (!t_threadModulePath.empty()) return t_threadModulePath;
    std::lock_guard<std::mutex> guard(ModulePathMutex());
    std::string& cached = CachedModulePath();
    if (cached.empty()) cached = environment_parts::LookUpModulePath();
    return cached;
}

}  // namespace platform
