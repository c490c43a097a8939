#include "platform/Files.h"

#include <cerrno>

#include "platform/Path.h"
#include "platform/windows/Win32.h"

namespace platform {

namespace {
// The attributes of a path; INVALID_FILE_ATTRIBUTES when there is nothing.
DWORD AttributesOf(const std::string& path) {
    if (path.empty()) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(win32::WidePath(path).c_str());
}

bool HasWildcard(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

// Walks the entries the system finds for a mask; the system's matching is
// the first sieve only (see FindFiles).
template <typename Visit>
void ForEachFound(const std::string& mask, Visit visit) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileExW(win32::WidePath(mask).c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        if (!visit(data)) break;
    } while (FindNextFileW(h, &data));
    FindClose(h);
}
}  // namespace

std::vector<DirEntry> FindFiles(const std::string& mask) {
    std::vector<DirEntry> result;
    PathParts parts = SplitPath(mask);
    const std::string& pattern = parts.name;
    if (pattern.empty()) return result;
    ForEachFound(mask, [&](const WIN32_FIND_DATAW& data) {
        std::string name = win32::Utf8(data.cFileName, wcslen(data.cFileName));
        if (name == "." || name == "..") return true;
        // The system matches a mask against the short 8.3 names too ("*.jpg"
        // finds "x.jpgx" through "X~1.JPG"), and its "*.*" takes names
        // without a dot: the long name itself must match.
        if (!MatchesMask(name, pattern)) return true;
        DirEntry entry;
        entry.name = std::move(name);
        entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        result.push_back(std::move(entry));
        return true;
    });
    return result;
}

std::string ExistingFile(const std::string& path) {
    if (path.empty()) return {};
    auto [folder, name] = SplitPath(path);
    // Letter case is ignored by the system already; the search answers the
    // name as it stands on disk, which is what goes into pages and URLs.
    if (name.empty() || HasWildcard(name)) return {};
    std::string found;
    ForEachFound(path, [&](const WIN32_FIND_DATAW& data) {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        found = folder + win32::Utf8(data.cFileName, wcslen(data.cFileName));
        return false;
    });
    return found;
}

bool DirectoryExists(const std::string& path) {
    DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectory(const std::string& path) {
    if (CreateDirectoryW(win32::WidePath(path).c_str(), nullptr)) return true;
    win32::SetErrnoFromLastError();
    return false;
}

bool DeleteFile(const std::string& path) {
    if (DeleteFileW(win32::WidePath(path).c_str())) return true;
    win32::SetErrnoFromLastError();
    return false;
}

bool RenameFile(const std::string& from, const std::string& to) {
    std::wstring source = win32::WidePath(from), target = win32::WidePath(to);
    // A reader that opened the target without letting others delete it (a
    // virus scanner, an indexer) holds it for a moment: try a few times.
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
        DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == 10) break;
        Sleep(10);
    }
    win32::SetErrnoFromLastError();
    return false;
}

bool HardLink(const std::string& existing, const std::string& newName) {
    if (CreateHardLinkW(win32::WidePath(newName).c_str(), win32::WidePath(existing).c_str(), nullptr)) return true;
    win32::SetErrnoFromLastError();
    return false;
}

bool FileModificationTime(const std::string& path, double& seconds) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(win32::WidePath(path).c_str(), GetFileExInfoStandard, &data)) return false;
    seconds = win32::EpochSeconds(data.ftLastWriteTime);
    return true;
}

bool SetFileModificationTime(const std::string& path, double seconds) {
    HANDLE h = CreateFileW(win32::WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME time = win32::FileTimeOf(seconds);
    bool done = SetFileTime(h, nullptr, &time, &time) != 0;
    CloseHandle(h);
    return done;
}

}  // namespace platform
