// A fixed set of threads that run the tasks handed to them, in the order
// they were handed. The threads never take the process's signals: a stop
// request (Ctrl-C, SIGTERM) reaches the threads that serve and wait, and
// never interrupts a worker's file operations.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Mutexes.h"
#include "platform/WorkerThread.h"
namespace platform {

class WorkerPool {
public:
    // At least one thread.
    explicit WorkerPool(int threads);
    // Runs the tasks already handed, then ends the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues a task; one of the threads runs it. A task must not throw.
    void Submit(std::function<void()> task);
    int Threads() const { return static_cast<int>(threads_.size()); }

private:
    void Work();

    Mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<WorkerThread> threads_;
};

}  // namespace platform
