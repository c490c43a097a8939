#include "engine/Log.h"

#include <cstdio>

#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "engine/PrivateFolder.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Files.h"
#include "platform/Path.h"
#include "platform/Text.h"

namespace {

const char* const LogDirectory = "./log";

}  // namespace

int64_t LogLimitBytes() {
    std::string value = text::Trim(http::GetEnvVar("PICTORAMA_LOG_LIMIT"));
    int64_t limit = 0;
    if (value.empty() || value.size() > 12) return DefaultLogLimitBytes;
    for (char c : value) {
        if (c < '0' || c > '9') return DefaultLogLimitBytes;
        limit = limit * 10 + (c - '0');
    }
    return limit < MinLogLimitBytes || limit > MaxLogLimitBytes ? DefaultLogLimitBytes : limit;
}

std::string OlderLogPath(const std::string& logPath) { return logPath + ".1"; }

void AppendLogLine(const std::string& path, const std::string& line, int64_t limit) {
    try {
        int error = 0;
        platform::File f = platform::File::TryOpen(path, platform::OpenMode::Append, error);
        if (!f.IsOpen()) return;
        const auto size = static_cast<int64_t>(line.size());
        // Where this line ended: each line is appended whole at the end of
        // the file as it stands then, so the lines' extents never overlap.
        const int64_t end = f.Append(line.data(), size);
        if (end < size || limit <= 0) return;
        const int64_t start = end - size;
        f.Close();
        // The one line that reaches a multiple of the limit renames the file.
        // A multiple and not the limit alone: should that writer have stopped
        // before its rename, the next multiple's writer does it.
        if (end / limit > start / limit) platform::RenameFile(path, OlderLogPath(path));
    } catch (...) {
        // A lost log line must never fail the request that reports it.
    }
}

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
        AppendLogLine(LogFilePath(), line, LogLimitBytes());
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
