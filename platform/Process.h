// The own process: ending it, sleeping, its id.
#pragma once
#include <string>
#include <vector>

namespace platform {

// Ends the process at once with the exit code; no destructors, no buffers flushed.
[[noreturn]] void EndProcessNow(int code);
void SleepMilliseconds(int ms);
int ProcessId();
// A seed that differs between processes and calls.
unsigned RandomSeed();

}  // namespace platform
