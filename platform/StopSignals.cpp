#include "platform/StopSignals.h"

#include <signal.h>

#include <csignal>
#include <initializer_list>

namespace platform {
namespace {
volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }
}  // namespace

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress returns at once and sees the flag.
    action.sa_flags = 0;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
}

bool StopRequested() { return g_stop != 0; }

void ClearStopRequest() { g_stop = 0; }

}  // namespace platform
