#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "platform/Path.h"
#include "platform/Text.h"

namespace platform {

namespace {
bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}
}  // namespace

std::vector<DirEntry> FindFiles(const std::string& mask) {
    std::vector<DirEntry> result;
    PathParts parts = SplitPath(mask);
    const std::string folder = parts.folder.empty() ? std::string(".") : parts.folder;
    const std::string& pattern = parts.name;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return result;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (!MatchesMask(name, pattern)) continue;
        DirEntry entry;
        entry.name = name;
        if (e->d_type == DT_DIR) entry.directory = true;
        else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) entry.directory = IsDirectory(folder + "/" + name);
        result.push_back(std::move(entry));
    }
    closedir(dir);
    return result;
}

std::string ExistingFile(const std::string& path) {
    if (path.empty()) return {};
    if (IsFile(path)) return path;
    auto [folder, name] = SplitPath(path);
    if (name.empty()) return {};
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return {};
    std::string found;
    while (dirent* e = readdir(dir)) {
        if (text::EqualsIgnoreCase(e->d_name, name)) {
            std::string candidate = folder + e->d_name;
            if (IsFile(candidate)) {
                found = candidate;
                break;
            }
        }
    }
    closedir(dir);
    return found;
}

bool DirectoryExists(const std::string& path) { return IsDirectory(path); }

bool CreateDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool DeleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }

bool HardLink(const std::string& existing, const std::string& newName) {
    return link(existing.c_str(), newName.c_str()) == 0;
}

bool FileModificationTime(const std::string& path, double& seconds) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    seconds = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
    return true;
}

bool SetFileModificationTime(const std::string& path, double seconds) {
    timespec times[2];
    double whole = std::floor(seconds);
    times[0].tv_sec = static_cast<time_t>(whole);
    times[0].tv_nsec = static_cast<long>((seconds - whole) * 1e9);
    times[1] = times[0];
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

}  // namespace platform
