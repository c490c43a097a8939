// The folder of the files the program keeps to itself: the trace of the last
// request, the visitors' slideshow positions, the kept slides, the log folder
// and the server mode's exchange folder.
#pragma once
#include <string>

// The environment variable (read from the process environment, never from a
// request's variables) that names the folder; a relative name is taken from
// the program's folder.
constexpr const char* PrivateFolderVariable = "CGI_PRIVATE_DIR";

// The folder for private files, ending in its separator: the program's (or library's)
// own folder, or the folder named by CGI_PRIVATE_DIR, created (one level) when
// missing.
std::string PrivateFolder();
// CGI_PRIVATE_DIR names a folder.
bool HasPrivateFolderSetting();
