#include "platform/ThreadSignals.h"

#include <signal.h>

namespace platform {

// A thread starts with its creator's signal mask: block every signal while
// threads start, then restore the creator's.
struct NewThreadsTakeNoSignals::Saved {
    sigset_t previous;
};

NewThreadsTakeNoSignals::NewThreadsTakeNoSignals() : saved_(new Saved) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_->previous);
}

NewThreadsTakeNoSignals::~NewThreadsTakeNoSignals() {
    pthread_sigmask(SIG_SETMASK, &saved_->previous, nullptr);
}

}  // namespace platform
