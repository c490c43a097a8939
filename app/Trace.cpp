#include "app/Trace.h"

#include <cerrno>

#include "app/GalleryRequest.h"
#include "app/Kit.h"
#include "engine/PrivateFolder.h"
#include "platform/Environment.h"
#include "platform/Files.h"

namespace {
// A photo page writes several hundred trace lines: the file is opened by the
// first line (so a folder that cannot be written fails the request right
// there) and the lines are written together when the request's work ends.
constexpr size_t TraceFlushBytes = 64 * 1024;
}  // namespace

std::string TraceBaseName() {
    std::string name = kit::FileNamePart(platform::ModulePath());
    return PrivateFolder() + name.substr(0, name.find('.'));
}

// What a request would have done at its start: delete the file, then open it
// anew for the lines.
void TraceSink::DeleteAndOpen() {
    file_.Close();
    rewrite_ = false;
    std::string path = TraceBaseName() + ".tst";
    platform::DeleteFile(path);
    file_ = platform::File::Open(path, platform::OpenMode::Append);
}

bool TraceSink::WritePending() {
    if (pending_.empty() && !rewrite_) return true;
    if (rewrite_ && pending_.empty()) {
        // Nothing traced: the file stays deleted.
        file_.Close();
        rewrite_ = false;
        platform::DeleteFile(TraceBaseName() + ".tst");
        return true;
    }
    if (rewrite_) {
        bool ok = file_.Rewrite(pending_.data(), static_cast<int64_t>(pending_.size())) ==
                  static_cast<int64_t>(pending_.size());
        rewrite_ = false;
        pending_.clear();
        return ok;
    }
    bool ok = file_.Write(pending_.data(), static_cast<int64_t>(pending_.size())) ==
              static_cast<int64_t>(pending_.size());
    pending_.clear();
    return ok;
}

void TraceSink::Line(const std::string& text) {
    if (capture_) {
        capture_->push_back(text);
        return;
    }
    if (copy_) copy_->push_back(text);
    if (!file_.IsOpen()) file_ = platform::File::Open(TraceBaseName() + ".tst", platform::OpenMode::Append);
    pending_ += text;
    pending_ += "\r\n";
    if (pending_.size() >= TraceFlushBytes) {
        // More lines than are kept to be written at once: written as they come.
        if (rewrite_) DeleteAndOpen();
        if (!WritePending()) platform::RaiseIoError(errno ? errno : EIO);
    }
}

void TraceSink::Flush() {
    if (file_.IsOpen() && !WritePending()) platform::RaiseIoError(errno ? errno : EIO);
}

void TraceSink::FlushQuietly() noexcept {
    try {
        if (file_.IsOpen()) WritePending();
    } catch (...) {
    }
}

void TraceSink::Clear() {
    if (capture_) return;
    pending_.clear();
    file_.Close();
    std::string path = TraceBaseName() + ".tst";
    file_ = platform::File::OpenToRewrite(path);
    rewrite_ = file_.IsOpen();
    if (!rewrite_) platform::DeleteFile(path);
}

TraceSink::Copy::Copy(TraceSink& sink, std::vector<std::string>& lines) : sink_(sink), previous_(sink.copy_) {
    sink_.copy_ = &lines;
}

TraceSink::Copy::~Copy() { sink_.copy_ = previous_; }

void TraceLine(const std::string& text) {
    if (TraceSink* trace = BoundTrace()) trace->Line(text);
}
