#include "platform/WorkerThread.h"

#include <float.h>
#include <process.h>

#include <system_error>

#include "platform/windows/Win32.h"

namespace platform {

struct WorkerThread::State {
    std::function<void()> work;
    HANDLE handle = nullptr;
};

namespace {
unsigned __stdcall Run(void* state) {
    // The floating-point unit as the program's other threads have it
    // (extended precision): the system starts a thread with 53 bits, and
    // long double sums (a thumbnail's width) would come out otherwise.
    _fpreset();
    static_cast<WorkerThread::State*>(state)->work();
    return 0;
}
}  // namespace

WorkerThread::WorkerThread(std::function<void()> work) : state_(std::make_unique<State>()) {
    state_->work = std::move(work);
    // The runtime's own start, so that the thread has its per-thread data.
    uintptr_t handle = _beginthreadex(nullptr, 0, &Run, state_.get(), 0, nullptr);
    if (!handle) throw std::system_error(errno, std::generic_category(), "thread");
    state_->handle = reinterpret_cast<HANDLE>(handle);
}

WorkerThread::WorkerThread() = default;
WorkerThread::~WorkerThread() = default;
WorkerThread::WorkerThread(WorkerThread&& other) noexcept = default;
WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept = default;

void WorkerThread::Join() {
    if (!state_) return;
    WaitForSingleObject(state_->handle, INFINITE);
    CloseHandle(state_->handle);
    state_.reset();
}

void WorkerThread::Detach() {
    if (!state_) return;
    CloseHandle(state_->handle);
    // The thread still reads its work: it keeps its state.
    state_.release();
}

}  // namespace platform
