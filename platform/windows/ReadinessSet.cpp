#include "platform/ReadinessSet.h"

#include "platform/Process.h"

// No hosting here waits on connections (the FastCGI hosting is not built
// here): the set is never valid.
namespace platform {

ReadinessSet::ReadinessSet() = default;
ReadinessSet::~ReadinessSet() = default;

bool ReadinessSet::Add(int, uint64_t) { return false; }

bool ReadinessSet::Rearm(int, uint64_t) { return false; }

bool ReadinessSet::Wait(int milliseconds, uint64_t&) {
    SleepMilliseconds(milliseconds);
    return false;
}

}  // namespace platform
