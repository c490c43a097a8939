// The calling thread's thread_local objects, ended before the thread ends.
#pragma once

namespace platform {

// Destroys the calling thread's thread_local objects now, the last made
// first, as the thread's end would: for the thread a web server unloads the
// library from, so that they go while the library's static objects (which
// their destructors may still use) are there, and not inside the system's
// loader lock. The thread must not run the library's code afterwards.
// Where the system itself keeps a library loaded until every thread that
// has thread_local objects of it has ended (Linux), nothing is done.
void EndThreadLocalsNow();

}  // namespace platform
