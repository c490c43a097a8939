// Byte streams: the request's input and output, in-memory buffers, files.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/File.h"

class Stream {
public:
    virtual ~Stream() = default;
    // Bytes read (0 at the end), or a negative value on failure.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Bytes written, or a negative value on failure.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    // whence: 0 from start, 1 from current, 2 from end. Returns the new position or -1.
    virtual int64_t Seek(int64_t offset, int whence) = 0;
    virtual int64_t Size();
    int64_t Position() { return Seek(0, 1); }

    // Read exactly count bytes or raise "Stream read error".
    void ReadBuffer(void* buffer, int64_t count);
    // Write all bytes or raise "Stream write error".
    void WriteBuffer(const void* buffer, int64_t count);
};

class MemoryStream : public Stream {
public:
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, int whence) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }
    void Clear() { data_.clear(); pos_ = 0; }
    const std::string& Data() const { return data_; }
    std::string& Data() { return data_; }

private:
    std::string data_;
    size_t pos_ = 0;
};

class FileStream : public Stream {
public:
    // Raises "Cannot open file %s" / "Cannot create file %s" on failure.
    FileStream(const std::string& path, platform::OpenMode mode);
    explicit FileStream(platform::File file) : file_(std::move(file)) {}
    int64_t Read(void* buffer, int64_t count) override { return file_.Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override { return file_.Write(buffer, count); }
    int64_t Seek(int64_t offset, int whence) override { return file_.Seek(offset, whence); }
    int64_t Size() override { return file_.Size(); }

private:
    platform::File file_;
};

// Reads the whole file into memory; raises "Cannot open file %s" or "Stream read error".
std::string ReadWholeFile(const std::string& path);
