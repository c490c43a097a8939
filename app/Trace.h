// The trace file: what the gallery did for the most recent request, one line
// per step, beside the program (pictorama.tst for pictorama.cgi).
#pragma once
#include <string>

// The program's folder and file name up to its first ".": the trace file is this + ".tst".
std::string TraceBaseName();
// Appends one line (opening and closing the file each time). Raises the
// runtime's I/O error (e.g. "File access denied") when the file cannot be written.
void TraceLine(const std::string& text);
// Deletes the trace file; a missing file is no error.
void ClearTrace();
