// The trace file: what the gallery did for the most recent request, one line
// per step, in the private folder: beside the program unless CGI_PRIVATE_DIR
// names another (pictorama.tst for pictorama.cgi).
#pragma once
#include <string>
#include <vector>

#include "platform/File.h"

// The private folder and the program's file name up to its first ".": the
// trace file is this + ".tst".
std::string TraceBaseName();

// Where one request's trace lines go: the trace file, or lines kept for the
// request by work done for it elsewhere (on another thread, or the site
// owner's command, which writes no trace file).
class TraceSink {
public:
    // The trace file.
    TraceSink() = default;
    // Lines kept in lines instead.
    explicit TraceSink(std::vector<std::string>& lines) : capture_(&lines) {}
    TraceSink(const TraceSink&) = delete;
    TraceSink& operator=(const TraceSink&) = delete;

    // Appends one line. The first line of a request opens the file and raises
    // the runtime's I/O error (e.g. "File access denied") when it cannot be
    // written.
    void Line(const std::string& text);
    // Writes the lines traced so far (at the end of a request's work). Raises
    // the runtime's I/O error when they cannot be written.
    void Flush();
    // The same on the way out of a failed request: failures are ignored.
    void FlushQuietly() noexcept;
    // Deletes the trace file (the start of a request); a missing file is no error.
    void Clear();

    // While one lives, the lines traced are also copied into lines (they
    // still go where they went): what a request traced for a piece of its
    // page can be kept and traced again the same.
    class Copy {
    public:
        Copy(TraceSink& sink, std::vector<std::string>& lines);
        ~Copy();
        Copy(const Copy&) = delete;
        Copy& operator=(const Copy&) = delete;

    private:
        TraceSink& sink_;
        std::vector<std::string>* previous_;
    };

private:
    void DeleteAndOpen();
    bool WritePending();

    std::vector<std::string>* capture_ = nullptr;
    std::vector<std::string>* copy_ = nullptr;
    platform::File file_;
    std::string pending_;
    // The file of the last request, kept open at the start to be written
    // anew at the end (platform::File::OpenToRewrite): deleting and making
    // it again would leave the same file, at a higher cost.
    bool rewrite_ = false;
};

// Appends one line to the trace of the request the calling thread works for
// (GalleryRequest.h); outside a request the line goes nowhere.
void TraceLine(const std::string& text);
