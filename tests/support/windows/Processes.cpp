// Starting the program under test on Windows, as a web server there does:
// CreateProcessW with the variables as the environment block, in the
// program's own folder, the standard handles through anonymous pipes, the
// exit code from the process object.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "support/ServerHarness.h"
#include "support/TestSupport.h"

namespace testing_support {

namespace {

// What ProcessResult::signal and BackgroundProgram::Signal call the one way
// Windows ends a process from outside (POSIX's SIGKILL).
constexpr int Killed = 9;

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

// One argument of a command line as the C runtime splits it again: quoted
// when it holds a blank or a quote (or is empty), backslashes doubled before
// a quote.
std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

// The environment block: NAME=VALUE strings, each ended by a NUL, then one more NUL.
std::wstring EnvironmentBlock(const std::map<std::string, std::string>& env) {
    std::wstring block;
    for (const auto& [name, value] : env) block += Wide(name + "=" + value) + L'\0';
    if (env.empty()) block += L'\0';
    return block + L'\0';
}

std::string FolderOf(const std::string& program) {
    size_t slash = program.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

// A child inherits every inheritable handle that exists while it is created:
// the handles meant for one child are made, handed over and closed under this
// lock, so that a child started at the same time on another thread never
// holds another's pipe (whose reader would then wait for an end that never
// comes).
std::mutex& InheritanceLock() {
    static std::mutex lock;
    return lock;
}

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }
    void Close() {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = nullptr;
    }
};

// Starts program with the given standard handles (inheritable); returns the
// process information or throws.
PROCESS_INFORMATION Start(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env, const std::string& folder, HANDLE in,
                          HANDLE out, HANDLE err) {
    std::wstring application = Wide(program);
    std::wstring commandLine = Quoted(application);
    for (const auto& a : args) commandLine += L" " + Quoted(Wide(a));
    std::wstring environment = EnvironmentBlock(env);
    std::wstring directory = Wide(folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process))
        throw std::runtime_error("cannot start " + program + ": error " + std::to_string(GetLastError()));
    CloseHandle(process.hThread);
    return process;
}

// An anonymous pipe whose `inheritable` end a child gets.
void MakePipe(Handle& read, Handle& write, bool childReads) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&read.h, &write.h, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    // Our own end stays ours.
    SetHandleInformation(childReads ? write.h : read.h, HANDLE_FLAG_INHERIT, 0);
}

void ReadAll(HANDLE pipe, std::string& into) {
    char buffer[65536];
    DWORD n = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) into.append(buffer, n);
}

}  // namespace

std::string NewTempFolder() {
    std::random_device random;
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "pictorama-test-%08x", static_cast<unsigned>(random()));
        std::string path = (base / name).string();
        if (CreateDirectoryW(Wide(path).c_str(), nullptr)) return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("cannot make a temporary folder");
}

void SetProcessVariable(const std::string& name, const std::optional<std::string>& value) {
    SetEnvironmentVariableW(Wide(name).c_str(), value ? Wide(*value).c_str() : nullptr);
}

bool FileNamesIgnoreCase() { return true; }

bool SetBySystem(const std::string& name) {
    return name == "SystemDrive" || name == "SystemRoot" || name.rfind("WINE", 0) == 0;
}

// Permissions are the account's (the tests run as one account under Windows).
int UnprivilegedUid() { return -1; }

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& input,
                         double keepInputOpenSeconds, double timeoutSeconds, int runAsUid) {
    if (runAsUid >= 0) throw std::invalid_argument("running as another account is a POSIX test's need");
    Handle inRead, inWrite, outRead, outWrite, errRead, errWrite;
    PROCESS_INFORMATION started;
    auto start = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(InheritanceLock());
        MakePipe(inRead, inWrite, true);
        MakePipe(outRead, outWrite, false);
        MakePipe(errRead, errWrite, false);
        started = Start(program, args, env, FolderOf(program), inRead.h, outWrite.h, errWrite.h);
        inRead.Close();
        outWrite.Close();
        errWrite.Close();
    }
    Handle process(started.hProcess);
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };

    ProcessResult result;
    // Standard input in pieces, so that what the program took before it
    // ended is known to a piece; then held open as asked, or until the end.
    std::thread feeder([&] {
        const size_t piece = 4096;
        size_t written = 0;
        while (written < input.size()) {
            DWORD n = 0;
            DWORD want = static_cast<DWORD>(std::min(piece, input.size() - written));
            if (!::WriteFile(inWrite.h, input.data() + written, want, &n, nullptr) || n == 0) break;
            written += n;
            result.inputTaken = written;
        }
        if (keepInputOpenSeconds > 0)
            WaitForSingleObject(process.h, static_cast<DWORD>(keepInputOpenSeconds * 1000));
        inWrite.Close();
    });
    std::thread errors([&] { ReadAll(errRead.h, result.err); });
    std::thread output([&] { ReadAll(outRead.h, result.out); });
    if (WaitForSingleObject(process.h, static_cast<DWORD>(timeoutSeconds * 1000)) == WAIT_TIMEOUT) {
        TerminateProcess(process.h, 1);
        WaitForSingleObject(process.h, INFINITE);
        result.signal = Killed;
    }
    // A process the program started and left running may still hold its
    // output: the program's own end is what counts.
    output.join();
    errors.join();
    // A program that ended without reading all its input broke the pipe:
    // the feeder's write has failed and it is done.
        feeder.join();
    result.seconds = elapsed();
    DWORD code = 0;
    if (result.signal == 0 && GetExitCodeProcess(process.h, &code)) result.exitCode = static_cast<int>(code);
    return result;
}

BackgroundProgram::BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                                     const std::map<std::string, std::string>& env, const std::string& workingFolder) {
    PROCESS_INFORMATION started;
    {
        std::lock_guard<std::mutex> lock(InheritanceLock());
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        Handle null(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr));
        started = Start(program, args, env, workingFolder.empty() ? FolderOf(program) : workingFolder, null.h, null.h,
                        null.h);
    }
    process_ = started.hProcess;
    pid_ = static_cast<int>(started.dwProcessId);
}

BackgroundProgram::~BackgroundProgram() {
    if (!ended_) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
    }
    CloseHandle(process_);
}

void BackgroundProgram::Signal(int signal) const {
    if (signal != Killed) throw std::invalid_argument("Windows has no signal " + std::to_string(signal));
    if (!ended_) TerminateProcess(process_, 1);
}

bool BackgroundProgram::Running() {
    if (ended_) return false;
    if (WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
        ended_ = true;
        DWORD code = 0;
        exitCode_ = GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
    }
    return !ended_;
}

bool BackgroundProgram::WaitExit(double seconds) {
    return WaitUntil([this] { return !Running(); }, seconds);
}

}  // namespace testing_support
