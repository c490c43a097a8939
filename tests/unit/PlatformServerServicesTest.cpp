// The operating-system services behind the server mode: the presence lock,
// waiting on a folder, stop signals, starting a hidden process, the process
// deadline.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "platform/FileWaiter.h"
#include "platform/HiddenProcess.h"
#include "platform/PresenceLock.h"
#include "platform/ProcessDeadline.h"
#include "platform/StopSignals.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {
double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}
}  // namespace

TEST(PresenceLock, PresentOnlyWhileTheOwnerHoldsIt) {
    TempDir dir;
    std::string file = dir / "prog_S.lock";
    EXPECT_FALSE(platform::IsPresent(file));
    {
        platform::PresenceLock lock;
        ASSERT_TRUE(lock.Acquire(file));
        EXPECT_TRUE(platform::IsPresent(file));
        // A second owner cannot take it while the first lives.
        platform::PresenceLock second;
        EXPECT_FALSE(second.Acquire(file, 30));
    }
    EXPECT_TRUE(Exists(file));
    EXPECT_FALSE(platform::IsPresent(file));
}

TEST(PresenceLock, EndsWithItsProcessHoweverItEnds) {
    TempDir dir;
    std::string file = dir / "prog_S.lock";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        platform::PresenceLock lock;
        char c = lock.Acquire(file) ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_TRUE(platform::IsPresent(file));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(platform::IsPresent(file));
    close(ready[0]);
    close(ready[1]);
}

TEST(FileWaiter, WritingAFileWakesNobodyRenamingItIntoPlaceDoes) {
    TempDir dir;
    platform::FileWaiter waiter(dir.Path());
    ASSERT_TRUE(waiter.Active());
    WriteFile(dir / "x.tmp", "1");
    auto before = std::chrono::steady_clock::now();
    waiter.Wait(150);
    EXPECT_GE(Seconds(before), 0.1) << "woken by a file still being written";
    std::thread renamer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::rename((dir / "x.tmp").c_str(), (dir / "x_REQ").c_str());
    });
    auto start = std::chrono::steady_clock::now();
    waiter.Wait(20000);
    double waited = Seconds(start);
    renamer.join();
    EXPECT_TRUE(Exists(dir / "x_REQ"));
    EXPECT_LT(waited, 10.0) << "the rename did not end the wait";
}

TEST(FileWaiter, ChangeBeforeTheWaitIsNotMissed) {
    TempDir dir;
    WriteFile(dir / "early.tmp", "1");
    platform::FileWaiter waiter(dir.Path());
    std::rename((dir / "early.tmp").c_str(), (dir / "early").c_str());
    auto start = std::chrono::steady_clock::now();
    waiter.Wait(20000);
    EXPECT_LT(Seconds(start), 10.0);
}

TEST(StopSignals, TerminateInterruptAndHangUpSetTheFlagInsteadOfEndingTheProcess) {
    platform::CatchStopSignals();
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        platform::ClearStopRequest();
        EXPECT_FALSE(platform::StopRequested());
        raise(s);
        EXPECT_TRUE(platform::StopRequested()) << s;
    }
    platform::ClearStopRequest();
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
}

TEST(HiddenProcess, RunsInItsOwnSessionOnTheNullDeviceWithoutTheCgiVariables) {
    TempDir dir;
    std::string report = dir / "report";
    std::string script = dir / "probe.sh";
    WriteFile(script,
              "#!/bin/sh\n"
              "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
              "{ echo \"args=$*\"; echo \"gw=${GATEWAY_INTERFACE-unset} rm=${REQUEST_METHOD-unset} ss=$SERVER_SOFTWARE\";\n"
              "  ps -o sid= -p $$ | tr -d ' '; echo \"$fds\"; } > " +
                  report + ".tmp\nmv " + report + ".tmp " + report + "\n");
    chmod(script.c_str(), 0755);
    setenv("GATEWAY_INTERFACE", "CGI/1.1", 1);
    setenv("REQUEST_METHOD", "GET", 1);
    setenv("SERVER_SOFTWARE", "test-server", 1);
    int pid = platform::StartHiddenProcess(script, {"$$START_SERVER", "X"}, {"GATEWAY_INTERFACE", "REQUEST_METHOD"});
    unsetenv("GATEWAY_INTERFACE");
    unsetenv("REQUEST_METHOD");
    unsetenv("SERVER_SOFTWARE");
    ASSERT_GT(pid, 0);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string text = ReadFile(report);
    EXPECT_NE(text.find("args=$$START_SERVER X\n"), std::string::npos) << text;
    EXPECT_NE(text.find("gw=unset rm=unset ss=test-server\n"), std::string::npos) << text;
    // Its own session (the session id is its own process id), and the
    // standard handles on the null device.
    EXPECT_NE(text.find(std::to_string(pid) + "\n/dev/null\n/dev/null\n/dev/null\n"), std::string::npos) << text;
}

TEST(HiddenProcess, MissingProgramIsReported) {
    EXPECT_EQ(platform::StartHiddenProcess("/nonexistent/program", {}, {}), -1);
}

TEST(ProcessDeadline, PassedDeadlineEndsTheProcessWithExitCodeZeroAndDisarmingKeepsItAlive) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        platform::SetProcessDeadline(0.05);
        platform::SetProcessDeadline(0);  // disarmed: survives the first deadline
        usleep(150000);
        platform::SetProcessDeadline(0.1);
        for (;;) pause();  // a stalled wait, ended only by the deadline
    }
    int status = 0;
    auto start = std::chrono::steady_clock::now();
    waitpid(pid, &status, 0);
    double seconds = Seconds(start);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(seconds, 0.2) << "the disarmed deadline ended the process";
}
