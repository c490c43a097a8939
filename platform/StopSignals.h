// The requests to stop that a resident process must honour (terminate,
// interrupt, hang-up): they set a flag that its loops read, instead of
// ending the process in the middle of a request.
#pragma once

namespace platform {

// Installs the handlers; safe to call more than once.
void CatchStopSignals();
// True once a stop signal has arrived since CatchStopSignals.
bool StopRequested();
// Forgets an earlier stop request (tests).
void ClearStopRequest();

}  // namespace platform
