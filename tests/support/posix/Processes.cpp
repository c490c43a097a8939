// Starting the program under test on POSIX systems: fork and execve, the
// standard handles through pipes, the exit status through waitpid.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/ServerHarness.h"
#include "support/TestSupport.h"

namespace testing_support {

std::string NewTempFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "pictorama-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    return templ;
}

void SetProcessVariable(const std::string& name, const std::optional<std::string>& value) {
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
    tzset();
}

bool FileNamesIgnoreCase() { return false; }

bool SetBySystem(const std::string&) { return false; }

int UnprivilegedUid() { return getuid() == 0 ? 65534 : -1; }

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& input,
                         double keepInputOpenSeconds, double timeoutSeconds, int runAsUid) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    ExecVectors vectors(program, args, env);

    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        // Run in the program's own folder, as web servers do for CGI.
        std::string dir = program.substr(0, program.find_last_of('/'));
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
        if (runAsUid >= 0 && (setgid(static_cast<gid_t>(runAsUid)) != 0 || setuid(static_cast<uid_t>(runAsUid)) != 0))
            _exit(125);
        execve(program.c_str(), vectors.Argv(), vectors.Envp());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    signal(SIGPIPE, SIG_IGN);

    ProcessResult result;
    size_t written = 0;
    bool inputOpen = true;
    double closeInputAt = -1;
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    bool outOpen = true, errOpen = true;
    fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
    while (outOpen || errOpen) {
        if (inputOpen && written == input.size()) {
            if (keepInputOpenSeconds <= 0) {
                close(inPipe[1]);
                inputOpen = false;
            } else if (closeInputAt < 0) {
                closeInputAt = elapsed() + keepInputOpenSeconds;
            } else if (elapsed() >= closeInputAt) {
                close(inPipe[1]);
                inputOpen = false;
            }
        }
        pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (outOpen) { outIdx = n; fds[n++] = {outPipe[0], POLLIN, 0}; }
        if (errOpen) { errIdx = n; fds[n++] = {errPipe[0], POLLIN, 0}; }
        if (inputOpen && written < input.size()) { inIdx = n; fds[n++] = {inPipe[1], POLLOUT, 0}; }
        poll(fds, static_cast<nfds_t>(n), 100);
        char buffer[65536];
        if (outIdx >= 0 && (fds[outIdx].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t r = read(outPipe[0], buffer, sizeof buffer);
            if (r > 0) result.out.append(buffer, static_cast<size_t>(r));
            else outOpen = false;
        }
        if (errIdx >= 0 && (fds[errIdx].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t r = read(errPipe[0], buffer, sizeof buffer);
            if (r > 0) result.err.append(buffer, static_cast<size_t>(r));
            else errOpen = false;
        }
        if (inIdx >= 0 && (fds[inIdx].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write(inPipe[1], input.data() + written, input.size() - written);
            if (w > 0) {
                written += static_cast<size_t>(w);
                result.inputTaken = written;
            } else if (w < 0 && errno != EAGAIN) {
                written = input.size();
            }
        }
        if (elapsed() > timeoutSeconds) {
            kill(pid, SIGKILL);
            break;
        }
    }
    if (inputOpen) close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.seconds = elapsed();
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

BackgroundProgram::BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                                     const std::map<std::string, std::string>& env, const std::string& workingFolder) {
    ExecVectors vectors(program, args, env);
    std::string dir = workingFolder.empty() ? program.substr(0, program.find_last_of('/')) : workingFolder;
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(dir.c_str()) != 0) _exit(126);
        execve(program.c_str(), vectors.Argv(), vectors.Envp());
        _exit(127);
    }
}

BackgroundProgram::~BackgroundProgram() {
    if (!ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void BackgroundProgram::Signal(int signal) const {
    if (!ended_) kill(pid_, signal);
}

bool BackgroundProgram::Running() {
    if (ended_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        ended_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return !ended_;
}

bool BackgroundProgram::WaitExit(double seconds) {
    return WaitUntil([this] { return !Running(); }, seconds);
}

}  // namespace testing_support
