#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "pictorama-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may remove permissions; give them back so that everything can go.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

ExecVectors::ExecVectors(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env) {
    for (auto& [k, v] : env) envStrings_.push_back(k + "=" + v);
    for (auto& e : envStrings_) envp_.push_back(e.data());
    envp_.push_back(nullptr);
    argStrings_.push_back(program);
    argStrings_.insert(argStrings_.end(), args.begin(), args.end());
    for (auto& a : argStrings_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
}

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

}  // namespace testing_support
