// Destructors of thread_local objects, run when their thread ends, and what
// a thread's end leaves to do when the library is unloaded instead.
//
// The C++ runtime's own version keeps each thread's list under a key of the
// statically linked threads library and deletes that key when the module
// unloads. Inside Pictorama.dll that key's lock is shared with every thread
// the web server ran requests on, and after several threads had ended the
// deletion at unload waited forever (the process could not end). Defining
// the runtime's entry point here keeps the lists in a slot of the system's
// own thread-local storage instead, emptied by the module's thread-detach
// notification: no lock, nothing to delete at unload.
//
// The keys of thread-specific data the runtime's thread_local storage asks
// for (the link's --wrap=pthread_key_create and the rest) are kept here
// too, over the system's slots, their destructors run after the thread's
// thread_local destructors: the threads library's own keys sit behind a
// lock it makes on first use (two semaphores) and never destroys, and in a
// table it never frees.
//
// A web server may load and unload the library again and again, so an
// unload gives back what the load took:
// - the unloading thread's thread_local objects are destroyed before the
//   module's static objects: from TerminateExtension (EndThreadLocalsNow,
//   outside the loader lock), failing that from the first unload
//   notification (the TLS callback or DllMain, both before the runtime
//   destroys the static objects);
// - once the static objects are gone, the C++ library frees its emergency
//   buffer, the threads library ends the unloading thread's record (its
//   handles) as at the thread's end, its keys' destructors run (its
//   thread_local storage), and the slots taken since
//   the load (ours, the keys', and the threads library's, which it never
//   gives back itself) are freed.
// Threads of the server that ran requests and outlive the unload keep what
// they held of the module: nothing can end it from another thread.
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include <pthread.h>

#include "platform/ThreadExit.h"
#include "platform/windows/Win32.h"

// The threads library's thread notification (its TLS callback), which ends
// the calling thread's record on DLL_THREAD_DETACH.
extern "C" const PIMAGE_TLS_CALLBACK __xl_f;
// The C++ library's release of what it keeps for the whole run (the
// emergency buffer for exceptions thrown when memory is short), made for
// leak checkers and for a library's unload.
namespace __gnu_cxx {
void __freeres();
}

namespace {

struct Destructor {
    void (*run)(void*);
    void* object;
    Destructor* next;
};

// The module's slot; none before it is loaded and after it is unloaded.
std::atomic<DWORD> g_slot{TLS_OUT_OF_INDEXES};
std::atomic<bool> g_unloaded{false};
// The threads library's slot, when it was seen being taken at load.
DWORD g_threadsLibrarySlot = TLS_OUT_OF_INDEXES;
HINSTANCE g_module = nullptr;
// The process is ending (not a library being unloaded): nothing to give back.
bool g_processEnding = false;

DWORD Slot() {
    DWORD slot = g_slot.load();
    if (slot != TLS_OUT_OF_INDEXES || g_unloaded.load()) return slot;
    // Taken on first need, should a thread_local be made before the
    // module's load notification.
    DWORD fresh = TlsAlloc();
    if (fresh == TLS_OUT_OF_INDEXES) return fresh;
    if (g_slot.compare_exchange_strong(slot, fresh)) return fresh;
    TlsFree(fresh);
    return slot;
}

// Keys of thread-specific data: a slot each, and what ends a thread's value.
struct Key {
    DWORD slot = TLS_OUT_OF_INDEXES;
    void (*destructor)(void*) = nullptr;
};
// The runtime asks for one (its thread_local storage), the C++ library for
// one more at most.
constexpr unsigned MaxKeys = 16;
Key g_keys[MaxKeys];
SRWLOCK g_keysLock = SRWLOCK_INIT;

// Ends the calling thread's values of the keys, as the threads library would
// at the thread's end: a destructor may set a value again, so a few rounds.
void EndKeyValues() {
    for (int round = 0; round < 4; ++round) {
        bool any = false;
        for (Key& key : g_keys) {
            DWORD slot = key.slot;
            if (slot == TLS_OUT_OF_INDEXES || !key.destructor) continue;
            if (void* value = TlsGetValue(slot)) {
                TlsSetValue(slot, nullptr);
                key.destructor(value);
                any = true;
            }
        }
        if (!any) return;
    }
}

// Runs the calling thread's destructors, the last registered first (a
// destructor may register more), then ends its keys' values (the storage
// of its thread_local objects among them).
void RunDestructors() {
    DWORD slot = g_slot.load();
    if (slot != TLS_OUT_OF_INDEXES) {
        while (auto* d = static_cast<Destructor*>(TlsGetValue(slot))) {
            TlsSetValue(slot, d->next);
            d->run(d->object);
            std::free(d);
        }
    }
    EndKeyValues();
}

// The threads library takes its slot the first time a thread asks for its
// record; a slot just given back is the next one handed out: the one the
// loading thread's record then sits in is the library's.
void NoteThreadsLibrarySlot() {
    DWORD probe = TlsAlloc();
    if (probe == TLS_OUT_OF_INDEXES) return;
    TlsFree(probe);
    pthread_self();
    if (TlsGetValue(probe)) g_threadsLibrarySlot = probe;
}

bool IsLibrary() { return g_module && g_module != GetModuleHandleW(nullptr); }

// After the module's static objects, at unload.
void GiveBackWhatTheLoadTook() {
    if (!IsLibrary() || g_processEnding) return;
    RunDestructors();  // made by a static destructor
    __gnu_cxx::__freeres();
    if (g_threadsLibrarySlot != TLS_OUT_OF_INDEXES) {
        __xl_f(g_module, DLL_THREAD_DETACH, nullptr);
        TlsFree(g_threadsLibrarySlot);
        g_threadsLibrarySlot = TLS_OUT_OF_INDEXES;
    }
    g_unloaded = true;
    DWORD slot = g_slot.exchange(TLS_OUT_OF_INDEXES);
    if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
    for (Key& key : g_keys) {
        if (key.slot != TLS_OUT_OF_INDEXES) TlsFree(key.slot);
        key = Key();
    }
}

// Made before every other static object of the module, so destroyed after
// all of them.
struct LastStaticObject {
    LastStaticObject() {}
    ~LastStaticObject() { GiveBackWhatTheLoadTook(); }
};
[[gnu::init_priority(101)]] LastStaticObject g_lastStaticObject;

void NTAPI OnThreadEvent(PVOID module, DWORD reason, PVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = static_cast<HINSTANCE>(module);
        if (IsLibrary()) NoteThreadsLibrarySlot();
        Slot();
    } else if (reason == DLL_THREAD_DETACH) {
        RunDestructors();
    } else if (reason == DLL_PROCESS_DETACH) {
        g_processEnding = reserved != nullptr;
        RunDestructors();
    }
}

}  // namespace

// The module's thread notifications (the linker gathers .CRT$XL* into the
// TLS callback table, in name order): before the threads library's (XLF),
// which frees the thread's thread_local storage.
extern "C" {
[[gnu::section(".CRT$XLE"), gnu::used]] extern const PIMAGE_TLS_CALLBACK pictorama_thread_exit = OnThreadEvent;
}

// The library's entry point, called by the runtime's before it destroys the
// static objects at unload (and the program's never).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH) {
        g_processEnding = reserved != nullptr;
        RunDestructors();
    }
    return TRUE;
}

namespace platform {

void EndThreadLocalsNow() { RunDestructors(); }

}  // namespace platform

// The threads library's interface for keys, as the runtime calls it.
extern "C" int __wrap_pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) return EAGAIN;
    AcquireSRWLockExclusive(&g_keysLock);
    unsigned i = 0;
    while (i < MaxKeys && g_keys[i].slot != TLS_OUT_OF_INDEXES) ++i;
    if (i < MaxKeys) g_keys[i] = Key{slot, destructor};
    ReleaseSRWLockExclusive(&g_keysLock);
    if (i == MaxKeys) {
        TlsFree(slot);
        return EAGAIN;
    }
    *key = i;
    return 0;
}

extern "C" int __wrap_pthread_key_delete(pthread_key_t key) {
    if (key >= MaxKeys) return EINVAL;
    AcquireSRWLockExclusive(&g_keysLock);
    DWORD slot = g_keys[key].slot;
    g_keys[key] = Key();
    ReleaseSRWLockExclusive(&g_keysLock);
    if (slot == TLS_OUT_OF_INDEXES) return EINVAL;
    TlsFree(slot);
    return 0;
}

// Leaves the caller's last error as it was: thread_local storage is reached
// between a system call and the look at its error.
extern "C" void* __wrap_pthread_getspecific(pthread_key_t key) {
    if (key >= MaxKeys) return nullptr;
    DWORD error = GetLastError();
    void* value = TlsGetValue(g_keys[key].slot);
    SetLastError(error);
    return value;
}

extern "C" int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
    if (key >= MaxKeys) return EINVAL;
    DWORD error = GetLastError();
    BOOL set = TlsSetValue(g_keys[key].slot, const_cast<void*>(value));
    SetLastError(error);
    return set ? 0 : EINVAL;
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
