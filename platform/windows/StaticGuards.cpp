// The guards of function-local static objects made on first use
// (__cxa_guard_*), over the system's slim lock and condition variable.
//
// The C++ runtime's own guards wake waiting threads through a condition
// variable of the statically linked threads library that is made on the
// first use and never destroyed: two semaphores that every unload of
// Pictorama.dll would leave open in the web server's process. A slim lock
// and condition variable hold no handle, and need no destruction.
#include <cstdint>

#include "platform/windows/Win32.h"

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;

// The guard's first byte says "made" (the compiler's inline test reads it);
// the second, "being made by a thread".
uint8_t* Made(uint64_t* guard) { return reinterpret_cast<uint8_t*>(guard); }
uint8_t* BeingMade(uint64_t* guard) { return reinterpret_cast<uint8_t*>(guard) + 1; }

}  // namespace

// 1: the caller makes the object (and then calls release, or abort when its
// constructor throws); 0: it is made already.
extern "C" int __cxa_guard_acquire(uint64_t* guard) {
    if (__atomic_load_n(Made(guard), __ATOMIC_ACQUIRE)) return 0;
    AcquireSRWLockExclusive(&g_lock);
    while (*BeingMade(guard)) SleepConditionVariableSRW(&g_changed, &g_lock, INFINITE, 0);
    int make = __atomic_load_n(Made(guard), __ATOMIC_RELAXED) ? 0 : 1;
    if (make) *BeingMade(guard) = 1;
    ReleaseSRWLockExclusive(&g_lock);
    return make;
}

extern "C" void __cxa_guard_release(uint64_t* guard) {
    AcquireSRWLockExclusive(&g_lock);
    __atomic_store_n(Made(guard), 1, __ATOMIC_RELEASE);
    *BeingMade(guard) = 0;
    ReleaseSRWLockExclusive(&g_lock);
    WakeAllConditionVariable(&g_changed);
}

extern "C" void __cxa_guard_abort(uint64_t* guard) {
    AcquireSRWLockExclusive(&g_lock);
    *BeingMade(guard) = 0;
    ReleaseSRWLockExclusive(&g_lock);
    WakeAllConditionVariable(&g_changed);
}
