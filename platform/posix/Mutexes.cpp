// glibc's mutexes are plain memory: nothing to free.
#include "platform/Mutexes.h"

namespace platform {

void FreeMutexRecord(std::mutex&) {}

}  // namespace platform
