#include "platform/HiddenProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <cstring>
#include <initializer_list>

extern char** environ;

namespace platform {
namespace {
bool Removed(const char* entry, const std::vector<std::string>& names) {
    for (const auto& name : names) {
        if (std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=') return true;
    }
    return false;
}

}  // namespace

int StartHiddenProcess(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& withoutVariables) {
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<char*> envp;
    for (char** e = environ; e && *e; ++e)
        if (!Removed(*e, withoutVariables)) envp.push_back(*e);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    // A new session: no controlling terminal, not in the starter's process
    // group, so the starter's end (or a web server killing it) leaves it alone.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return rc == 0 ? static_cast<int>(pid) : -1;
}

}  // namespace platform
