// The input watchdog of the CGI hostings: a process that waits for request
// body bytes that never come ends on its own (exit code 0) instead of staying
// forever. Inside a library there is none: the server owns its threads.
#pragma once

// Seconds without body bytes before the watchdog ends the process.
constexpr int MaxInputWaitSeconds = 30;

// Starts the watchdog thread once per process (not inside a library).
void StartWatchdog();
// Arms (now + seconds), renews or disarms (0) the watchdog; no-op without one.
void SetWatchdogDeadline(double secondsFromNow);
// Disarms the watchdog and lets its thread end.
void StopWatchdog();
