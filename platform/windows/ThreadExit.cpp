// Destructors of thread_local objects, run when their thread ends.
//
// The C++ runtime's own version keeps each thread's list under a key of the
// statically linked threads library and deletes that key when the module
// unloads. Inside Pictorama.dll that key's lock is shared with every thread
// the web server ran requests on, and after several threads had ended the
// deletion at unload waited forever (the process could not end). Defining
// the runtime's entry point here keeps the lists in a slot of the system's
// own thread-local storage instead, emptied by the module's thread-detach
// notification: no lock, nothing to delete at unload.
#include <cstdlib>

#include "platform/windows/Win32.h"

namespace {

struct Destructor {
    void (*run)(void*);
    void* object;
    Destructor* next;
};

DWORD Slot() {
    static const DWORD slot = TlsAlloc();
    return slot;
}

// Runs the calling thread's destructors, the last registered first; a
// destructor may register more.
void RunDestructors() {
    DWORD slot = Slot();
    if (slot == TLS_OUT_OF_INDEXES) return;
    while (auto* d = static_cast<Destructor*>(TlsGetValue(slot))) {
        TlsSetValue(slot, d->next);
        d->run(d->object);
        std::free(d);
    }
}

void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_DETACH || reason == DLL_PROCESS_DETACH) RunDestructors();
}

}  // namespace

// The module's thread notifications (the linker gathers .CRT$XL* into the
// TLS callback table, in name order): before the threads library's (XLF),
// which frees the thread's thread_local storage.
extern "C" {
[[gnu::section(".CRT$XLE"), gnu::used]] extern const PIMAGE_TLS_CALLBACK pictorama_thread_exit = OnThreadEvent;
}

extern "C" int __cxa_thread_atexit(void (*run)(void*), void* object, void*) {
    DWORD slot = Slot();
    auto* d = static_cast<Destructor*>(std::malloc(sizeof(Destructor)));
    if (slot == TLS_OUT_OF_INDEXES || !d) {
        std::free(d);
        return -1;
    }
    d->run = run;
    d->object = object;
    d->next = static_cast<Destructor*>(TlsGetValue(slot));
    TlsSetValue(slot, d);
    return 0;
}
