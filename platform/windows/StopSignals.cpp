#include "platform/StopSignals.h"

#include <atomic>

#include "platform/windows/Win32.h"

namespace platform {
namespace {
// Read by every thread of a resident process that serves on several.
std::atomic<bool> g_stop{false};

// Ctrl+C, Ctrl+Break, the console closing, logoff and shutdown: the loops
// finish their request and end. The system ends the process anyway a few
// seconds after the last three.
BOOL WINAPI OnStopEvent(DWORD) {
    g_stop.store(true);
    return TRUE;
}
}  // namespace

void CatchStopSignals() {
    static std::atomic<bool> installed{false};
    if (!installed.exchange(true)) SetConsoleCtrlHandler(OnStopEvent, TRUE);
}

bool StopRequested() { return g_stop.load(); }

void ClearStopRequest() { g_stop.store(false); }

}  // namespace platform
