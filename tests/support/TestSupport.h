// Helpers shared by the test suites: temporary folders and running the built
// program as a web server would.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Path.h"

namespace testing_support {

// A new empty folder under the system's temporary folder (per system).
std::string NewTempFolder();

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    // The path of a name in the folder, joined with the system's separator
    // (as the program joins the paths it reports).
    std::string operator/(const std::string& name) const { return path_ + platform::NativeSeparator + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

// The argv and envp arrays execve wants, built from a program, its arguments
// and an environment; they stay valid as long as this object lives.
class ExecVectors {
public:
    ExecVectors(const std::string& program, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env);
    char** Argv() { return argv_.data(); }
    char** Envp() { return envp_.data(); }

private:
    std::vector<std::string> argStrings_, envStrings_;
    std::vector<char*> argv_, envp_;
};

struct ProcessResult {
    int exitCode = -1;       // -1 when killed by a signal
    int signal = 0;          // the signal that ended it; on Windows SIGKILL when the timeout ended it
    std::string out;         // standard output
    std::string err;         // standard error
    double seconds = 0;
    size_t inputTaken = 0;   // bytes of input the program's pipe accepted before it ended
};

// Runs program (in its own folder) with exactly the given environment and arguments, feeding input
// on standard input (then closing it, unless keepInputOpenSeconds > 0, in which
// case the pipe stays open that long after the input was written).
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& input = "",
                         double keepInputOpenSeconds = 0, double timeoutSeconds = 120, int runAsUid = -1);

// Sets (or with nullopt removes) a variable of this process's environment,
// where the program's own code reads it; on POSIX systems the time zone
// follows a change of TZ.
void SetProcessVariable(const std::string& name, const std::optional<std::string>& value);

// The names of the functions a shared library (a DLL on Windows) exports.
std::vector<std::string> ExportedFunctions(const std::string& library);

// Whether letter case tells file names apart (not on Windows: "a.JPG" and
// "a.jpg" are one file there).
bool FileNamesIgnoreCase();

// Whether a variable is one the system puts into every process's environment
// whatever its starter gave (Wine adds SystemDrive, SystemRoot and its own
// WINE* variables; Linux and Windows itself add none).
bool SetBySystem(const std::string& variableName);

// The uid of an unprivileged account to run the program as when the tests run
// as root (so that file permissions apply), or -1 when the tests are not root.
int UnprivilegedUid();

}  // namespace testing_support
