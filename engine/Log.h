// The engine's log file: one line per failure the engine catches, kept within
// a bound: past a size the file becomes the log's one older file.
#pragma once
#include <cstdint>
#include <string>

// The log's size bound unless the process environment's PICTORAMA_LOG_LIMIT
// (a number of bytes from MinLogLimitBytes to MaxLogLimitBytes) says otherwise.
constexpr int64_t DefaultLogLimitBytes = 1024 * 1024;
constexpr int64_t MinLogLimitBytes = 1024;
constexpr int64_t MaxLogLimitBytes = int64_t{1} << 30;
int64_t LogLimitBytes();

// Appends "<local date and time>,  <request number> : <message>" to
// <log folder>/<program base name>.Log. The folder is CGI_LOG_DIR when set,
// else "log" beside the program (created when missing), else the program's
// own folder. Never raises.
void WriteLog(const std::string& message);
// The log file WriteLog would write to now.
std::string LogFilePath();
// The one older file of the log at logPath, beside it: <log>.1 (in the log
// folder, which the web server configs deny like the log itself).
std::string OlderLogPath(const std::string& logPath);

// Appends line to the file at path in one write (several processes and
// threads may append at once; each line stays whole). The writer whose line
// takes the file to or past a multiple of limit renames it to
// OlderLogPath(path), replacing the older one, so that the next line starts a
// new file: one writer per file does, since appends land one after another.
// Lines written meanwhile through the renamed file land in the older one.
// The log and its older file thus hold about twice limit at most. Never raises.
void AppendLogLine(const std::string& path, const std::string& line, int64_t limit);
