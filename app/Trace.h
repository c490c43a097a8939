// The trace file: what the gallery did for the most recent request, one line
// per step, in the private folder: beside the program unless CGI_PRIVATE_DIR
// names another (pictorama.tst for pictorama.cgi).
#pragma once
#include <string>
#include <vector>

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

// While one lives, the lines its thread traces are kept in lines instead of
// going to the trace file: work done for a request on another thread keeps
// its lines so, and the request traces them in the order it chooses.
class TraceCapture {
public:
    explicit TraceCapture(std::vector<std::string>& lines);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

private:
    std::vector<std::string>* previous_;
};

// While one lives, the lines its thread traces are also copied into lines
// (they still go to the trace file as well): what a request traced for a
// piece of its page can be kept and traced again the same.
class TraceCopy {
public:
    explicit TraceCopy(std::vector<std::string>& lines);
    ~TraceCopy();
    TraceCopy(const TraceCopy&) = delete;
    TraceCopy& operator=(const TraceCopy&) = delete;

private:
    std::vector<std::string>* previous_;
};
