// File-system services. Names are looked up the way the gallery's users expect
// from their web folders: exact name first, else a match that ignores letter
// case in the same folder; the name as it stands on disk is what is used.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace platform {

struct DirEntry {
    std::string name;  // as on disk, without folder
    bool directory = false;
};

// Wildcard match of '*' and '?' that ignores letter case.
bool MatchesMask(const std::string& name, const std::string& pattern);

// Entries of the folder part of mask whose names match its last component,
// in directory order; files, folders and hidden entries alike ("." and ".."
// excepted). A folder part ends at the last '/' or '\'; without one the
// current folder is searched.
std::vector<DirEntry> FindFiles(const std::string& mask);

// The path of an existing file as it stands on disk, or "" when there is none.
// Only the last component may differ in letter case.
std::string ExistingFile(const std::string& path);
inline bool FileExists(const std::string& path) { return !ExistingFile(path).empty(); }

bool DirectoryExists(const std::string& path);
bool CreateDirectory(const std::string& path);  // one level
bool DeleteFile(const std::string& path);
// Atomic over an existing target.
bool RenameFile(const std::string& from, const std::string& to);

// A second name for an existing file.
bool HardLink(const std::string& existing, const std::string& newName);

// Modification time in seconds since the epoch (with fraction); false if missing.
bool FileModificationTime(const std::string& path, double& seconds);
bool SetFileModificationTime(const std::string& path, double seconds);

// A fresh name in the folder of path, for writing a file that is then renamed
// into place: path + ".~" + process id + "." + counter.
std::string TemporaryNameBeside(const std::string& path);

}  // namespace platform
