#include "platform/StopSignals.h"

#include <signal.h>

#include <atomic>
#include <initializer_list>

namespace platform {
namespace {
// Lock-free, so safe in a signal handler, and read by every thread of a
// resident process that serves on several.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int) { g_stop.store(true); }
}  // namespace

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress returns at once and sees the flag.
    action.sa_flags = 0;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
}

bool StopRequested() { return g_stop.load(); }

void ClearStopRequest() { g_stop.store(false); }

}  // namespace platform
