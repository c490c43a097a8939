// Threads that never take the process's stop signals.
#pragma once
#include <memory>

namespace platform {

// While one lives, the threads its creator starts take none of the process's
// signals: a stop request (Ctrl-C, SIGTERM) reaches the threads that serve
// and wait, never a worker in the middle of a file operation. Where stop
// requests arrive on a thread of their own (Windows consoles), it does
// nothing.
class NewThreadsTakeNoSignals {
public:
    NewThreadsTakeNoSignals();
    ~NewThreadsTakeNoSignals();
    NewThreadsTakeNoSignals(const NewThreadsTakeNoSignals&) = delete;
    NewThreadsTakeNoSignals& operator=(const NewThreadsTakeNoSignals&) = delete;

private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

}  // namespace platform
