#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>


namespace platform {

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

void File::Close() {
    if (fd_ >= 0 && owned_) ::close(fd_);
    fd_ = -1;
}

}  // namespace platform
