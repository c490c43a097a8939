#include "platform/WorkerPool.h"

#include "platform/ThreadSignals.h"

namespace platform {

WorkerPool::WorkerPool(int threads) {
    if (threads < 1) threads = 1;
    NewThreadsTakeNoSignals quiet;
    try {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
    } catch (...) {
        if (threads_.empty()) throw;  // none at all: the caller learns it
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.Join();
}

void WorkerPool::Submit(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void WorkerPool::Work() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;  // stopping, and nothing left
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace platform
