// The request lifecycle shared by every hosting (THttpEngine::ExecuteRequest,
// FinishRequest, the error page) and the process-wide state it keeps.
#pragma once

// Process-wide state of the engine, reset at program start.
void InitializeEngineProcess();
// How many requests this process has started.
int RequestCount();
// Ends the process after the response has been sent (CGI hostings); returns
// in a library.
void TerminateProcessRoutine();
