// Driving the server mode from tests: a program left running in the
// background (the server instance, a web server), the exchange folder, and a
// record of the files that appear in a folder.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/CgiHarness.h"

namespace testing_support {

// A program started in its own folder with exactly the given environment,
// standard handles on the null device; killed when the object goes. On
// Windows, Signal knows SIGKILL only (the process is terminated).
class BackgroundProgram {
public:
    BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, const std::string& workingFolder = "");
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;
    int Pid() const { return pid_; }
    void Signal(int signal) const;
    bool Running();
    // Waits up to seconds for the program to end; true when it did.
    bool WaitExit(double seconds);
    int ExitCode() const { return exitCode_; }  // -1 when it ended by a signal or still runs

private:
    int pid_ = -1;
    void* process_ = nullptr;  // the process's handle (Windows)
    bool ended_ = false;
    int exitCode_ = -1;
};

// Polls until the condition holds or the seconds pass; returns the condition.
bool WaitUntil(const std::function<bool()>& condition, double seconds = 10);

// The server instance of the gallery folder: the program started by hand
// (no arguments, no SERVER_SOFTWARE); returns once its marker file exists.
std::unique_ptr<BackgroundProgram> StartServerInstance(const GalleryFolder& gallery);
std::string ExchangePrefix(const GalleryFolder& gallery);  // <folder>/temp/<program>_
std::string MarkerFile(const GalleryFolder& gallery);
// Names of the files in the exchange folder that begin with the prefix.
std::vector<std::string> ExchangeFileNames(const GalleryFolder& gallery);
// Names of the request files waiting in the queue (ending in _REQ).
std::vector<std::string> QueuedRequests(const GalleryFolder& gallery);

// Counts the files renamed into a folder whose names end with a suffix, from
// construction on (the server renames every finished response into _rsp).
class RenameCounter {
public:
    RenameCounter(const std::string& folder, const std::string& suffix);
    ~RenameCounter();
    RenameCounter(const RenameCounter&) = delete;
    RenameCounter& operator=(const RenameCounter&) = delete;
    int Count();

private:
    int fd_ = -1;
    std::string suffix_;
    int count_ = 0;
};

}  // namespace testing_support
