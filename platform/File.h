// An open file, owned by one scope. Failures raise EInOutError with the
// runtime's wording, so that callers up the stack report them unchanged.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Which file a name leads to, and which version of it: the file's number on
// its device, and what its metadata says of its contents. Equal in every
// field, two readings are the same file, unchanged as far as the file system
// tells.
struct FileVersion {
    uint64_t device = 0;
    uint64_t number = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;  // last change of the contents, nanoseconds since the epoch
    int64_t changedNs = 0;   // last change of the contents or the metadata (0 where not known)
};
// The version of the file (or folder) a path leads to; false if missing.
bool ReadFileVersion(const std::string& path, FileVersion& version);

enum class OpenMode {
    Read,         // existing file, reading
    ReadWrite,    // existing file, reading and writing, not truncated
    Create,       // create or truncate, writing
    CreateNew,    // create, fail if it exists
    Append,       // create if missing, writes go to the end
};

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Raises EInOutError when the file cannot be opened.
    static File Open(const std::string& path, OpenMode mode);
    // Returns an unopened File and sets error (an errno value) instead of raising.
    static File TryOpen(const std::string& path, OpenMode mode, int& error);
    // Wraps a descriptor the process already has (standard input and output); not closed.
    static File Borrow(int descriptor);
    // The existing file at path, open for writing, when writing it anew
    // (Rewrite) leaves it as deleting it and creating it again would: a regular file (not a symbolic link) with no
    // other name and no extended attributes, owned by this process's user,
    // with the group and permissions a new file would get, in a folder where
    // it could be deleted and whose new files inherit no access list.
    // Otherwise (and always on Windows) an unopened File.
    static File OpenToRewrite(const std::string& path);

    bool IsOpen() const { return fd_ >= 0; }
    // Returns bytes read (0 at the end), or -1 on failure.
    int64_t Read(void* buffer, int64_t count);
    // Returns bytes written, or -1 on failure; retries short writes.
    int64_t Write(const void* buffer, int64_t count);
    // For a file opened to Append: adds the bytes at its end in one piece,
    // even while other handles and processes append to it, and returns where
    // they end (the file's size just after them), or -1 on failure.
    int64_t Append(const void* buffer, int64_t count);
    int64_t Seek(int64_t offset, int whence);  // whence: 0 start, 1 current, 2 end
    int64_t Size();
    // The version of the open file, whatever its name now leads to.
    bool Version(FileVersion& version);
    // Makes buffer the file's whole content; other writers that rewrite the
    // same file so, in this process or another, never mix their bytes with
    // these. Returns bytes written, or -1 on failure.
    int64_t Rewrite(const void* buffer, int64_t count);
    void Close();

private:
    int fd_ = -1;
    bool owned_ = true;
};

// The runtime's message for an errno value ("File not found", "File access denied", ...).
std::string IoErrorMessage(int error);
[[noreturn]] void RaiseIoError(int error);

}  // namespace platform
