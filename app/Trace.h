// The trace file: what the gallery did for the most recent request, one line
// per step, in the private folder: beside the program unless CGI_PRIVATE_DIR
// names another (pictorama.tst for pictorama.cgi).
#pragma once
#include <string>

// The private folder and the program's file name up to its first ".": the
// trace file is this + ".tst".
std::string TraceBaseName();
// Appends one line. The first line of a request opens the file and raises the
// runtime's I/O error (e.g. "File access denied") when it cannot be written.
void TraceLine(const std::string& text);
// Writes the lines traced so far (at the end of a request's work). Raises the
// runtime's I/O error when they cannot be written.
void FlushTrace();
// The same on the way out of a failed request: failures are ignored.
void FlushTraceQuietly() noexcept;
// Deletes the trace file; a missing file is no error.
void ClearTrace();
