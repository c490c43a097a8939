#include "platform/Process.h"

#include <atomic>

#include "platform/windows/Win32.h"

namespace platform {

void EndProcessNow(int code) {
    // At once: no library detach routines, no other thread finishing its step.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code));
}

void SleepMilliseconds(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

unsigned RandomSeed() {
    static std::atomic<unsigned> calls{0};
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<unsigned>(counter.QuadPart) ^ (static_cast<unsigned>(GetCurrentProcessId()) << 16) ^
           now.dwLowDateTime ^ (calls.fetch_add(1) * 2654435761u);
}

}  // namespace platform
