#include "app/Trace.h"

#include <cerrno>

#include "app/Kit.h"
#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/Files.h"

namespace {
// The trace file stays open for the lines of one request (a photo page writes
// several hundred); every line is still one appending write, so a request
// that ends early leaves every line it wrote.
platform::File& OpenTrace() {
    thread_local platform::File file;
    return file;
}
}  // namespace

std::string TraceBaseName() {
    std::string module = platform::ModulePath();
    std::string name = kit::FileNamePart(module);
    return kit::DirectoryPart(module) + name.substr(0, name.find('.'));
}

void TraceLine(const std::string& text) {
    platform::File& file = OpenTrace();
    if (!file.IsOpen()) file = platform::File::Open(TraceBaseName() + ".tst", platform::OpenMode::Append);
    std::string line = text + "\r\n";
    if (file.Write(line.data(), static_cast<int64_t>(line.size())) != static_cast<int64_t>(line.size()))
        platform::RaiseIoError(errno ? errno : EIO);
}

void ClearTrace() {
    OpenTrace().Close();
    platform::DeleteFile(TraceBaseName() + ".tst");
}
