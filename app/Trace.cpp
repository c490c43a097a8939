#include "app/Trace.h"

#include <cerrno>

#include "app/Kit.h"
#include "engine/PrivateFolder.h"
#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/Files.h"

namespace {
// A photo page writes several hundred trace lines: the file is opened by the
// first line (so a folder that cannot be written fails the request right
// there) and the lines are written together when the request's work ends.
constexpr size_t TraceFlushBytes = 64 * 1024;

struct TraceState {
    platform::File file;
    std::string pending;
    // The file of the last request, kept open at the start to be written
    // anew at the end (platform::File::OpenToRewrite): deleting and making
    // it again would leave the same file, at a higher cost.
    bool rewrite = false;
};

thread_local std::vector<std::string>* t_capture = nullptr;
thread_local std::vector<std::string>* t_copy = nullptr;

TraceState& State() {
    thread_local TraceState state;
    return state;
}

// What a request would have done at its start: delete the file, then open it
// anew for the lines.
void DeleteAndOpen(TraceState& state) {
    state.file.Close();
    state.rewrite = false;
    std::string path = TraceBaseName() + ".tst";
    platform::DeleteFile(path);
    state.file = platform::File::Open(path, platform::OpenMode::Append);
}

bool WritePending(TraceState& state) {
    if (state.pending.empty() && !state.rewrite) return true;
    if (state.rewrite && state.pending.empty()) {
        // Nothing traced: the file stays deleted.
        state.file.Close();
        state.rewrite = false;
        platform::DeleteFile(TraceBaseName() + ".tst");
        return true;
    }
    if (state.rewrite) {
        bool ok = state.file.Rewrite(state.pending.data(), static_cast<int64_t>(state.pending.size())) ==
                  static_cast<int64_t>(state.pending.size());
        state.rewrite = false;
        state.pending.clear();
        return ok;
    }
    bool ok = state.file.Write(state.pending.data(), static_cast<int64_t>(state.pending.size())) ==
              static_cast<int64_t>(state.pending.size());
    state.pending.clear();
    return ok;
}
}  // namespace

std::string TraceBaseName() {
    std::string name = kit::FileNamePart(platform::ModulePath());
    return PrivateFolder() + name.substr(0, name.find('.'));
}

void TraceLine(const std::string& text) {
    if (t_capture) {
        t_capture->push_back(text);
        return;
    }
    if (t_copy) t_copy->push_back(text);
    TraceState& state = State();
    if (!state.file.IsOpen()) state.file = platform::File::Open(TraceBaseName() + ".tst", platform::OpenMode::Append);
    state.pending += text;
    state.pending += "\r\n";
    if (state.pending.size() >= TraceFlushBytes) {
        // More lines than are kept to be written at once: written as they come.
        if (state.rewrite) DeleteAndOpen(state);
        if (!WritePending(state)) platform::RaiseIoError(errno ? errno : EIO);
    }
}

void FlushTrace() {
    TraceState& state = State();
    if (state.file.IsOpen() && !WritePending(state)) platform::RaiseIoError(errno ? errno : EIO);
}

void FlushTraceQuietly() noexcept {
    try {
        TraceState& state = State();
        if (state.file.IsOpen()) WritePending(state);
    } catch (...) {
    }
}

void ClearTrace() {
    TraceState& state = State();
    state.pending.clear();
    state.file.Close();
    std::string path = TraceBaseName() + ".tst";
    state.file = platform::File::OpenToRewrite(path);
    state.rewrite = state.file.IsOpen();
    if (!state.rewrite) platform::DeleteFile(path);
}

TraceCapture::TraceCapture(std::vector<std::string>& lines) : previous_(t_capture) { t_capture = &lines; }

TraceCapture::~TraceCapture() { t_capture = previous_; }

TraceCopy::TraceCopy(std::vector<std::string>& lines) : previous_(t_copy) { t_copy = &lines; }

TraceCopy::~TraceCopy() { t_copy = previous_; }
