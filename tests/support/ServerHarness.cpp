#include "support/ServerHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace testing_support {

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

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ExchangePrefix(const GalleryFolder& gallery) { return gallery / ("temp/" + gallery.ProgramName() + "_"); }
std::string MarkerFile(const GalleryFolder& gallery) { return ExchangePrefix(gallery) + "s"; }

std::vector<std::string> ExchangeFileNames(const GalleryFolder& gallery) {
    std::vector<std::string> names;
    std::error_code ec;
    std::string prefix = gallery.ProgramName() + "_";
    for (const auto& entry : std::filesystem::directory_iterator(gallery / "temp", ec)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    return names;
}

std::vector<std::string> QueuedRequests(const GalleryFolder& gallery) {
    std::vector<std::string> queued;
    for (auto& name : ExchangeFileNames(gallery))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, "_REQ") == 0) queued.push_back(name);
    return queued;
}

std::unique_ptr<BackgroundProgram> StartServerInstance(const GalleryFolder& gallery) {
    auto server = std::make_unique<BackgroundProgram>(gallery.Program(), std::vector<std::string>{},
                                                      std::map<std::string, std::string>{{"PATH", "/usr/bin:/bin"}});
    std::string lock = gallery / ("temp/" + gallery.ProgramName() + "_S.lock");
    if (!WaitUntil([&] { return std::filesystem::exists(MarkerFile(gallery)) && std::filesystem::exists(lock); }))
        throw std::runtime_error("the server instance did not start");
    return server;
}

RenameCounter::RenameCounter(const std::string& folder, const std::string& suffix) : suffix_(suffix) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0 || inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO) < 0)
        throw std::runtime_error("cannot watch " + folder);
}

RenameCounter::~RenameCounter() {
    if (fd_ >= 0) close(fd_);
}

int RenameCounter::Count() {
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            std::string name = event->len ? event->name : "";
            if (name.size() >= suffix_.size() && name.compare(name.size() - suffix_.size(), suffix_.size(), suffix_) == 0)
                ++count_;
            p += sizeof(inotify_event) + event->len;
        }
    }
    return count_;
}

}  // namespace testing_support
