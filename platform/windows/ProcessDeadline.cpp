#include "platform/ProcessDeadline.h"

#include <mutex>

#include "platform/Process.h"
#include "platform/windows/Win32.h"

namespace platform {
namespace {
void CALLBACK OnDeadline(void*, BOOLEAN) { EndProcessNow(0); }

std::mutex g_mutex;
HANDLE g_timer = nullptr;
}  // namespace

void SetProcessDeadline(double seconds) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_timer) {
        // Waits for nothing: a deadline that is firing ends the process anyway.
        DeleteTimerQueueTimer(nullptr, g_timer, nullptr);
        g_timer = nullptr;
    }
    if (seconds <= 0) return;
    DWORD ms = static_cast<DWORD>(seconds * 1000);
    if (ms == 0) ms = 1;
    // A timer of the system's shared queue: no thread of ours while it waits.
    if (!CreateTimerQueueTimer(&g_timer, nullptr, OnDeadline, nullptr, ms, 0, WT_EXECUTEONLYONCE)) g_timer = nullptr;
}

}  // namespace platform
