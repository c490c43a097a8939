#include "platform/WorkerThread.h"

#include <thread>

namespace platform {

struct WorkerThread::State {
    std::thread thread;
};

WorkerThread::WorkerThread(std::function<void()> work) : state_(std::make_unique<State>()) {
    state_->thread = std::thread(std::move(work));
}

WorkerThread::WorkerThread() = default;
WorkerThread::~WorkerThread() = default;
WorkerThread::WorkerThread(WorkerThread&& other) noexcept = default;
WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept = default;

void WorkerThread::Join() {
    if (!state_) return;
    state_->thread.join();
    state_.reset();
}

void WorkerThread::Detach() {
    if (!state_) return;
    state_->thread.detach();
    state_.reset();
}

}  // namespace platform
