#include "platform/HiddenProcess.h"

#include "platform/windows/Win32.h"

namespace platform {
namespace {
// One argument as the runtime's command-line parser takes it back: quoted
// when it holds a blank, a tab or a quote (or is empty), quotes escaped, and
// the backslashes before a quote (or before the closing one) doubled.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty()) line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') backslashes = backslashes * 2 + 1;
        line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// Variable names ignore letter case on this system.
bool Removed(const wchar_t* entry, const std::vector<std::wstring>& names) {
    for (const auto& name : names) {
        if (_wcsnicmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == L'=') return true;
    }
    return false;
}

std::vector<wchar_t> EnvironmentWithout(const std::vector<std::string>& withoutVariables) {
    std::vector<std::wstring> names;
    for (const auto& v : withoutVariables) names.push_back(win32::Wide(v));
    std::vector<wchar_t> block;
    if (wchar_t* own = GetEnvironmentStringsW()) {
        for (const wchar_t* e = own; *e; e += wcslen(e) + 1) {
            if (Removed(e, names)) continue;
            block.insert(block.end(), e, e + wcslen(e) + 1);
        }
        FreeEnvironmentStringsW(own);
    }
    if (block.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}
}  // namespace

int StartHiddenProcess(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& withoutVariables) {
    std::wstring application = win32::Wide(program);
    std::wstring line;
    AppendArgument(line, application);
    for (const auto& a : arguments) AppendArgument(line, win32::Wide(a));
    std::vector<wchar_t> environment = EnvironmentWithout(withoutVariables);

    // No handle is inherited: the web server's pipes stay with the request
    // that ends now (the server waits for them to close), and the new
    // process's standard handles are those of its own console, which has no
    // window. Its own process group keeps Ctrl+C and Ctrl+Break of the
    // starter's console away; leaving the starter's job (where the job
    // allows it) keeps it alive when the server ends that job.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT;
    BOOL started = FALSE;
    for (DWORD breakaway : {DWORD(CREATE_BREAKAWAY_FROM_JOB), DWORD(0)}) {
        std::wstring commandLine = line;  // the call may write into it
        started = CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags | breakaway,
                                 environment.data(), nullptr, &startup, &process);
        if (started) break;
    }
    if (!started) return -1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(process.dwProcessId);
}

}  // namespace platform
