// What the system's threads library made for a mutex, freed when the mutex
// is done with.
#pragma once
#include <mutex>

namespace platform {

// Frees what the threads library keeps for the mutex (on Windows the
// statically linked library makes a record and, once a thread waited on the
// mutex, an event for it, which std::mutex's destructor leaves behind there;
// elsewhere nothing is kept). For the destructor of an object that owns the
// mutex, once no thread uses it any more; the mutex is not used again.
void FreeMutexRecord(std::mutex& mutex);

// A std::mutex whose record goes with it: for mutexes made per request or
// per load (a library's static ones), not for one a thread that outlives
// it (a detached one) may still use.
class Mutex : public std::mutex {
public:
    Mutex() = default;
    ~Mutex() { FreeMutexRecord(*this); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
};

}  // namespace platform
