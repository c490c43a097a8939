// The engine's log file: one line per failure the engine catches.
#pragma once
#include <string>

// Appends "<local date and time>,  <request number> : <message>" to
// <log folder>/<program base name>.Log. The folder is CGI_LOG_DIR when set,
// else "log" beside the program (created when missing), else the program's
// own folder. Never raises.
void WriteLog(const std::string& message);
// The log file WriteLog would write to now.
std::string LogFilePath();
