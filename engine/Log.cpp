#include "engine/Log.h"

#include <cstdio>

#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "engine/PrivateFolder.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Files.h"
#include "platform/Path.h"

namespace {

const char* const LogDirectory = "./log";

}  // namespace

std::string LogFilePath() {
    std::string module = http::ModulePath();
    std::string programFolder = platform::FolderPart(module);
    std::string directory = http::GetEnvVar("CGI_LOG_DIR");
    // Without a folder of its own the log goes to log/ of the private folder,
    // falling back to that folder itself (never to the published one).
    std::string fallback = programFolder;
    if (directory.empty() && HasPrivateFolderSetting()) {
        fallback = PrivateFolder();
        directory = fallback + "log";
    }
    if (directory.empty()) directory = LogDirectory;
    std::string absolute = platform::IsAbsolutePath(directory) ? directory : programFolder + directory;
    if (!platform::DirectoryExists(absolute) && !platform::CreateDirectory(absolute)) directory = fallback;
    return http::ComposeFilePath(module, directory, false, platform::FileNameOf(module), false, "Log");
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
