#include "platform/File.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "platform/Exception.h"
#include "platform/windows/Win32.h"

namespace platform {

using win32::HandleAsInt;
using win32::IntAsHandle;

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
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
        case OpenMode::Read: break;
        case OpenMode::ReadWrite: access = GENERIC_READ | GENERIC_WRITE; break;
        case OpenMode::Create: access = GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
        case OpenMode::CreateNew: access = GENERIC_WRITE; disposition = CREATE_NEW; break;
        // Without the right to write anywhere else, every write lands at the
        // end, whoever else appends at the same time (reading: for the lock
        // of Append).
        case OpenMode::Append:
            access = FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE;
            disposition = OPEN_ALWAYS;
            break;
    }
    File f;
    error = 0;
    // Others may read, write, rename and delete the file while it is open,
    // as files on the other systems allow: a thumbnail being read must not
    // stop a newer one from being renamed into its place.
    HANDLE h = CreateFileW(win32::WidePath(path).c_str(), access,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = win32::SetErrnoFromLastError();
        return f;
    }
    f.fd_ = HandleAsInt(h);
    return f;
}

File File::Open(const std::string& path, OpenMode mode) {
    int error = 0;
    File f = TryOpen(path, mode, error);
    if (!f.IsOpen()) RaiseIoError(error);
    return f;
}

File File::Borrow(int descriptor) {
    static const DWORD standard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    File f;
    f.owned_ = false;
    if (descriptor < 0 || descriptor > 2) return f;
    // Bytes pass unchanged: the runtime's own view of the handle must not
    // turn LF into CR LF either, should anything write through it.
    _setmode(descriptor, _O_BINARY);
    f.fd_ = HandleAsInt(GetStdHandle(standard[descriptor]));
    return f;
}

int64_t File::Read(void* buffer, int64_t count) {
    if (fd_ < 0) return -1;
    DWORD piece = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    DWORD n = 0;
    if (!ReadFile(IntAsHandle(fd_), buffer, piece, &n, nullptr)) {
        // The writing end of a pipe closed: the end of the input.
        if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
        win32::SetErrnoFromLastError();
        return -1;
    }
    return n;
}

int64_t File::Write(const void* buffer, int64_t count) {
    if (fd_ < 0) return -1;
    const char* p = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        int64_t left = count - done;
        DWORD piece = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD n = 0;
        if (!WriteFile(IntAsHandle(fd_), p + done, piece, &n, nullptr) || n == 0) {
            win32::SetErrnoFromLastError();
            return done > 0 ? done : -1;
        }
        done += n;
    }
    return done;
}

int64_t File::Append(const void* buffer, int64_t count) {
    if (fd_ < 0) return -1;
    HANDLE h = IntAsHandle(fd_);
    // The system puts each write whole at the end, but not every
    // implementation of it does (Wine seeks to the end, then writes): the
    // appends of all handles and processes take turns on a byte no file
    // reaches, which also makes the size read after the write this one's end.
    OVERLAPPED turn{};
    turn.OffsetHigh = 0x7FFFFFFF;
    bool locked = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != 0;
    int64_t written = Write(buffer, count);
    LARGE_INTEGER size;
    bool sized = GetFileSizeEx(h, &size) != 0;
    if (locked) UnlockFileEx(h, 0, 1, 0, &turn);
    return written == count && sized ? size.QuadPart : -1;
}

int64_t File::Seek(int64_t offset, int whence) {
    if (fd_ < 0) return -1;
    DWORD method = whence == 0 ? FILE_BEGIN : whence == 1 ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER distance, position;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(IntAsHandle(fd_), distance, &position, method)) return -1;
    return position.QuadPart;
}

int64_t File::Size() {
    LARGE_INTEGER size;
    if (fd_ < 0 || !GetFileSizeEx(IntAsHandle(fd_), &size)) return -1;
    return size.QuadPart;
}

int64_t File::Rewrite(const void* buffer, int64_t count) {
    if (Seek(0, 0) != 0) return -1;
    int64_t written = Write(buffer, count);
    return written == count && SetEndOfFile(IntAsHandle(fd_)) ? written : -1;
}

namespace {
int64_t Nanoseconds(const LARGE_INTEGER& time) {
    // 100-nanosecond intervals since 1601, as the epoch's nanoseconds.
    return (time.QuadPart - 116444736000000000LL) * 100;
}

bool VersionOfHandle(HANDLE h, FileVersion& version) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    version.device = info.dwVolumeSerialNumber;
    version.number = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    version.size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    LARGE_INTEGER written;
    written.LowPart = info.ftLastWriteTime.dwLowDateTime;
    written.HighPart = static_cast<LONG>(info.ftLastWriteTime.dwHighDateTime);
    version.modifiedNs = Nanoseconds(written);
    FILE_BASIC_INFO basic;
    version.changedNs = GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ? Nanoseconds(basic.ChangeTime) : 0;
    return true;
}
}  // namespace

bool File::Version(FileVersion& version) { return fd_ >= 0 && VersionOfHandle(IntAsHandle(fd_), version); }

bool ReadFileVersion(const std::string& path, FileVersion& version) {
    HANDLE h = CreateFileW(win32::WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool done = VersionOfHandle(h, version);
    CloseHandle(h);
    return done;
}

// Files here are only ever deleted and made again.
File File::OpenToRewrite(const std::string&) { return File(); }

void File::Close() {
    if (fd_ >= 0 && owned_) CloseHandle(IntAsHandle(fd_));
    fd_ = -1;
}

}  // namespace platform
