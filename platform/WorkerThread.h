// A thread of the program's own that its owner starts and joins.
#pragma once
#include <functional>
#include <memory>

namespace platform {

// Runs work on a new thread; Join waits for it. On Windows a system thread:
// a thread of the statically linked threads library keeps a record with an
// event that outlives its join and every unload of the library.
class WorkerThread {
public:
    WorkerThread();
    // Raises std::system_error when no thread can be started.
    explicit WorkerThread(std::function<void()> work);
    ~WorkerThread();  // the thread must have been joined
    WorkerThread(WorkerThread&& other) noexcept;
    WorkerThread& operator=(WorkerThread&& other) noexcept;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool Joinable() const { return state_ != nullptr; }
    void Join();
    // Lets the thread run on unjoined (a process ending without its end).
    void Detach();

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace platform
