#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>


namespace platform {

namespace {
FileVersion VersionOf(const struct stat& st) {
    FileVersion version;
    version.device = static_cast<uint64_t>(st.st_dev);
    version.number = static_cast<uint64_t>(st.st_ino);
    version.size = static_cast<int64_t>(st.st_size);
    version.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    version.changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return version;
}
}  // namespace

bool ReadFileVersion(const std::string& path, FileVersion& version) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    version = VersionOf(st);
    return true;
}

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(other.fd_), owned_(other.owned_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        owned_ = other.owned_;
        other.fd_ = -1;
    }
    return *this;
}

File File::TryOpen(const std::string& path, OpenMode mode, int& error) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case OpenMode::Read: flags |= O_RDONLY; break;
        case OpenMode::ReadWrite: flags |= O_RDWR; break;
        case OpenMode::Create: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        case OpenMode::CreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
        case OpenMode::Append: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
    }
    File f;
    error = 0;
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        error = errno;
        return f;
    }
    // A folder opened for reading fails at its first read (EISDIR); opening
    // one for writing fails here already.
    f.fd_ = fd;
    return f;
}

File File::Open(const std::string& path, OpenMode mode) {
    int error = 0;
    File f = TryOpen(path, mode, error);
    if (!f.IsOpen()) RaiseIoError(error);
    return f;
}

namespace {
// The process's file-creation mask, or -1 when it cannot be read. Read from
// /proc: asking the system call would change it for a moment under the other
// threads' feet.
int CreationMask() {
    static const int mask = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("Umask:", 0) == 0) return static_cast<int>(std::stoul(line.substr(6), nullptr, 8));
        return -1;
    }();
    return mask;
}

bool NoInheritedAccessList(const std::string& folder) {
    return ::getxattr(folder.c_str(), "system.posix_acl_default", nullptr, 0) < 0 &&
           (errno == ENODATA || errno == ENOTSUP);
}
}  // namespace

File File::OpenToRewrite(const std::string& path) {
    File f;
    int mask = CreationMask();
    size_t slash = path.rfind('/');
    if (mask < 0 || slash == std::string::npos) return f;
    std::string folder = path.substr(0, slash + 1);
    // Not following a symbolic link, nor waiting for a reader of a pipe.
    int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return f;
    f.fd_ = fd;
    struct stat file {}, dir {};
    bool same = ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_nlink == 1 &&
                file.st_uid == ::geteuid() && (file.st_mode & 07777) == (0666 & ~mask & 07777) &&
                ::flistxattr(fd, nullptr, 0) == 0 && ::stat(folder.c_str(), &dir) == 0 &&
                file.st_gid == ((dir.st_mode & S_ISGID) ? dir.st_gid : ::getegid()) &&
                ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0 &&
                NoInheritedAccessList(folder) &&
                ::fcntl(fd, F_SETFL, 0) == 0;  // blocking writes again
    if (!same) f.Close();
    return f;
}

int64_t File::Rewrite(const void* buffer, int64_t count) {
    if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) return -1;
    int64_t written = ::lseek(fd_, 0, SEEK_SET) == 0 ? Write(buffer, count) : -1;
    if (written == count && ::ftruncate(fd_, count) != 0) written = -1;
    int error = errno;
    ::flock(fd_, LOCK_UN);
    errno = error;
    return written;
}

File File::Borrow(int descriptor) {
    File f;
    f.fd_ = descriptor;
    f.owned_ = false;
    return f;
}

int64_t File::Read(void* buffer, int64_t count) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, static_cast<size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int64_t File::Write(const void* buffer, int64_t count) {
    if (fd_ < 0) return -1;
    const char* p = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? done : -1;
        }
        done += n;
    }
    return done;
}

int64_t File::Append(const void* buffer, int64_t count) {
    // The system appends each write whole, at the end as it stands then; the
    // descriptor's position is where this one ended.
    if (Write(buffer, count) != count) return -1;
    return ::lseek(fd_, 0, SEEK_CUR);
}

int64_t File::Seek(int64_t offset, int whence) {
    if (fd_ < 0) return -1;
    int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
    return ::lseek(fd_, offset, w);
}

int64_t File::Size() {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

bool File::Version(FileVersion& version) {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
    version = VersionOf(st);
    return true;
}

void File::Close() {
    if (fd_ >= 0 && owned_) ::close(fd_);
    fd_ = -1;
}

}  // namespace platform
