#include "platform/Environment.h"

#include <stdlib.h>

#include "platform/EnvironmentParts.h"
#include "platform/windows/Win32.h"
// After the system's main header, which it needs.
#include <shellapi.h>

namespace platform {
using environment_parts::Arguments;

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

std::string environment_parts::LookUpModulePath() {
    // Inside the library, the module that holds this code is the library,
    // not the server's program that loaded it.
    HMODULE module = nullptr;
    if (RunningAsLibrary() &&
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&environment_parts::LookUpModulePath), &module))
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
