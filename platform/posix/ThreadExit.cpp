// glibc runs a thread's thread_local destructors when the thread ends, and a
// library that still has such destructors waiting in any thread is kept
// mapped by dlclose (it counts them): no thread can run a destructor whose
// code is gone, and nothing needs ending early.
#include "platform/ThreadExit.h"

namespace platform {

void EndThreadLocalsNow() {}

}  // namespace platform
