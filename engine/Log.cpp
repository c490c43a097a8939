#include "engine/Log.h"

#include <cstdio>

#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Files.h"

namespace {

const char* const LogDirectory = "./log";

std::string FolderOf(const std::string& path) {
    size_t sep = path.find_last_of('/');
    return sep == std::string::npos ? std::string(".") : path.substr(0, sep);
}

std::string FileNameOf(const std::string& path) {
    size_t sep = path.find_last_of("/\\");
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string SectionHead(const char* title) {
    return std::string("\r\n(************************)\r\n") + title + "\r\n(************************)";
}

}  // namespace

std::string LogFilePath() {
    std::string module = http::ModulePath();
    std::string programFolder = FolderOf(module);
    std::string directory = http::GetEnvVar("CGI_LOG_DIR");
    if (directory.empty()) directory = LogDirectory;
    std::string absolute = directory[0] == '/' ? directory : programFolder + "/" + directory;
    if (!platform::DirectoryExists(absolute) && !platform::CreateDirectory(absolute)) directory = programFolder;
    return http::ComposeFilePath(module, directory, false, FileNameOf(module), false, "Log");
}

void WriteLog(const std::string& message) {
    std::string line;
    try {
        platform::DateTime now = platform::LocalDateTime(platform::NowSeconds());
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", now.year, now.month, now.day, now.hour,
                      now.minute, now.second);
        line = std::string(stamp) + ",  " + std::to_string(Context().requestNumber) + " : " + message + "\r\n";
        int error = 0;
        platform::File f = platform::File::TryOpen(LogFilePath(), platform::OpenMode::Append, error);
        if (f.IsOpen()) f.Write(line.data(), static_cast<int64_t>(line.size()));
    } catch (...) {
        // A lost log line must never fail the request that reports it.
    }
    try {
        auto& c = Context();
        if (c.currentEngine && c.currentEngine->DebugMode() != TDebugMode::NoDebug && c.userLogCapture && !line.empty())
            c.userLogCapture->Write(line.data(), static_cast<int64_t>(line.size()));
    } catch (...) {
    }
}

void THttpEngine::BeginDebugOutput() {
    auto& c = Context();
    if (c.debugOutput) return;
    c.debugOutput = 1;
    std::unique_ptr<HeaderList> saved = std::move(c.headers);
    c.headers = std::make_unique<HeaderList>();
    WriteHeaderLine("HTTP/1.0 200 OK", "");
    WriteHeaderLine("content-type", "text/plain");
    EndHeader();
    c.headersSent = 0;
    c.headers = saved ? std::move(saved) : std::make_unique<HeaderList>();
}

void THttpEngine::AppendDebugDump() {
    auto& c = Context();
    WriteLine("(*** END ***)");
    WriteLine(SectionHead("(***    User Log      ***)"));
    if (c.userLogCapture) WriteBuffer(c.userLogCapture->Data().data(), static_cast<int64_t>(c.userLogCapture->Data().size()));
    WriteLine(SectionHead("(***   Client input   ***)"));
    if (c.clientInputCapture)
        WriteBuffer(c.clientInputCapture->Data().data(), static_cast<int64_t>(c.clientInputCapture->Data().size()));
    WriteLine(SectionHead("(*** Server variables ***)"));
    WriteLine(c.variables ? c.variables->Text() : std::string());
    c.debugOutput = 0;
}
