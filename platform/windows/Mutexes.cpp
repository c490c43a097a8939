// std::mutex here is a mutex of the statically linked threads library,
// which makes its record on first use and an event once a thread waits on
// it, and the C++ library never destroys it (its destructor is empty where
// mutexes have a static initializer). Destroying it through the threads
// library frees both: without it every mutex made per request or per load
// leaves an event handle behind.
#include <pthread.h>

#include "platform/Mutexes.h"

namespace platform {

void FreeMutexRecord(std::mutex& mutex) { pthread_mutex_destroy(mutex.native_handle()); }

}  // namespace platform
