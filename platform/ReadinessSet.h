// Descriptors that several threads wait on together: each descriptor that
// becomes readable (or is closed or fails) is reported to one waiting
// thread, once, and is not reported again until it is armed again. A key
// given with each arming comes back with the report.
#pragma once
#include <cstdint>

namespace platform {

class ReadinessSet {
public:
    ReadinessSet();
    ~ReadinessSet();
    ReadinessSet(const ReadinessSet&) = delete;
    ReadinessSet& operator=(const ReadinessSet&) = delete;
    // False when the system gave no set (every call then fails).
    bool Valid() const { return fd_ >= 0; }
    // Watches a descriptor new to the set until it is reported once.
    // Closing it takes it out of the set.
    bool Add(int fd, uint64_t key);
    // Watches a descriptor reported before until it is reported once more
    // (one the set has not seen yet is added).
    bool Rearm(int fd, uint64_t key);
    // Waits at most that long for one report; false on timeout or an
    // interrupting signal.
    bool Wait(int milliseconds, uint64_t& key);

private:
    int fd_ = -1;
};

}  // namespace platform
