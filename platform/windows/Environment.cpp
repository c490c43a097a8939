#include "platform/Environment.h"

#include <stdlib.h>

#include <atomic>
#include <mutex>

#include "platform/windows/Win32.h"
// After the system's main header, which it needs.
#include <shellapi.h>

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
    wchar_t* block = GetEnvironmentStringsW();
    if (!block) return result;
    for (const wchar_t* e = block; *e; e += wcslen(e) + 1) {
        // "=C:=C:\folder" entries hold the current folder of each drive for
        // the command interpreter; they are no variables.
        if (*e == L'=') continue;
        result.push_back(win32::Utf8(e, wcslen(e)));
    }
    FreeEnvironmentStringsW(block);
    return result;
}

bool ReadEnvironmentVariable(const std::string& name, std::string& value) {
    std::wstring wideName = win32::Wide(name);
    std::wstring buffer(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD n = GetEnvironmentVariableW(wideName.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            // Set but empty, or not set at all.
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
            value.clear();
            return true;
        }
        if (n < buffer.size()) {
            value = win32::Utf8(buffer.data(), n);
            return true;
        }
        buffer.resize(n);
    }
}

void SetCommandLine(int argc, char** argv) {
    auto& args = Arguments();
    args.clear();
    // The runtime's arguments are in the ANSI code page, which cannot hold
    // every name: the process's own arguments are taken from the wide
    // command line instead. Arguments a caller composed are UTF-8 already.
    if (argv == __argv) {
        int count = 0;
        if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
            for (int i = 1; i < count; ++i) args.push_back(win32::Utf8(wide[i], wcslen(wide[i])));
            LocalFree(wide);
            return;
        }
    }
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
    // Inside the library, the module that holds this code is the library,
    // not the server's program that loaded it.
    HMODULE module = nullptr;
    if (RunningAsLibrary() &&
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&LookUpModulePath), &module))
        module = nullptr;
    // The path may be longer than the classic limit: grow until it fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    if (buffer.rfind(L"\\\\?\\", 0) == 0 && buffer.rfind(L"\\\\?\\UNC\\", 0) != 0) buffer.erase(0, 4);
    return win32::Utf8(buffer);
}

}  // namespace platform
