#include "platform/Process.h"

#include <time.h>
#include <unistd.h>

#include <atomic>

namespace platform {

void EndProcessNow(int code) { _exit(code); }

void SleepMilliseconds(int ms) {
    if (ms <= 0) return;
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

int ProcessId() { return static_cast<int>(getpid()); }

unsigned RandomSeed() {
    static std::atomic<unsigned> calls{0};
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<unsigned>(ts.tv_nsec) ^ (static_cast<unsigned>(getpid()) << 16) ^
           static_cast<unsigned>(ts.tv_sec) ^ (calls.fetch_add(1) * 2654435761u);
}

}  // namespace platform
