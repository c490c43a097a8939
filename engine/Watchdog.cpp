#include "engine/Watchdog.h"

#include <atomic>
#include <thread>

#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Process.h"

namespace {

// Created once, never destroyed, so that the detached thread never outlives
// its state. It looks every two seconds.
struct Watchdog {
    std::atomic<double> deadline{0};  // monotonic seconds; 0 = disarmed
    std::atomic<bool> stop{false};
};
std::atomic<Watchdog*> g_watchdog{nullptr};

}  // namespace

void StartWatchdog() {
    if (platform::RunningAsLibrary() || g_watchdog.load()) return;
    auto* dog = new Watchdog();
    Watchdog* expected = nullptr;
    if (!g_watchdog.compare_exchange_strong(expected, dog)) {
        delete dog;
        return;
    }
    std::thread([dog] {
        while (!dog->stop.load()) {
            double d = dog->deadline.load();
            if (d > 0 && platform::MonotonicSeconds() > d) platform::EndProcessNow(0);
            platform::SleepMilliseconds(2000);
        }
    }).detach();
}

void SetWatchdogDeadline(double secondsFromNow) {
    Watchdog* dog = g_watchdog.load();
    if (!dog) return;
    dog->deadline = secondsFromNow > 0 ? platform::MonotonicSeconds() + secondsFromNow : 0.0;
}

void StopWatchdog() {
    Watchdog* dog = g_watchdog.load();
    if (dog) {
        dog->deadline = 0.0;
        dog->stop = true;
    }
}
