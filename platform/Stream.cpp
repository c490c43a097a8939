#include "platform/Stream.h"

#include <cstring>

#include "platform/Exception.h"

int64_t Stream::Size() {
    int64_t here = Seek(0, 1);
    if (here < 0) return -1;
    int64_t end = Seek(0, 2);
    Seek(here, 0);
    return end;
}

void Stream::ReadBuffer(void* buffer, int64_t count) {
    char* p = static_cast<char*>(buffer);
    while (count > 0) {
        int64_t n = Read(p, count);
        if (n <= 0) throw Exception("Stream read error");
        p += n;
        count -= n;
    }
}

void Stream::WriteBuffer(const void* buffer, int64_t count) {
    if (count <= 0) return;
    if (Write(buffer, count) != count) throw Exception("Stream write error");
}

int64_t MemoryStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || pos_ >= data_.size()) return 0;
    size_t n = data_.size() - pos_;
    if (static_cast<uint64_t>(count) < n) n = static_cast<size_t>(count);
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<int64_t>(n);
}

int64_t MemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    const char* p = static_cast<const char*>(buffer);
    size_t n = static_cast<size_t>(count);
    if (pos_ == data_.size()) {
        data_.append(p, n);
    } else {
        if (pos_ + n > data_.size()) data_.resize(pos_ + n);
        std::memcpy(&data_[pos_], p, n);
    }
    pos_ += n;
    return count;
}

int64_t MemoryStream::Seek(int64_t offset, int whence) {
    int64_t base = whence == 0 ? 0 : whence == 1 ? static_cast<int64_t>(pos_) : static_cast<int64_t>(data_.size());
    int64_t target = base + offset;
    if (target < 0) return -1;
    if (static_cast<size_t>(target) > data_.size()) data_.resize(static_cast<size_t>(target));
    pos_ = static_cast<size_t>(target);
    return target;
}

FileStream::FileStream(const std::string& path, platform::OpenMode mode) {
    int error = 0;
    file_ = platform::File::TryOpen(path, mode, error);
    if (!file_.IsOpen()) {
        bool creating = mode == platform::OpenMode::Create || mode == platform::OpenMode::CreateNew;
        throw Exception((creating ? "Cannot create file " : "Cannot open file ") + path);
    }
}

std::string ReadWholeFile(const std::string& path) {
    FileStream f(path, platform::OpenMode::Read);
    std::string data;
    int64_t size = f.Size();
    if (size > 0) data.reserve(static_cast<size_t>(size));
    char buffer[65536];
    for (;;) {
        int64_t n = f.Read(buffer, sizeof buffer);
        if (n < 0) throw Exception("Stream read error");
        if (n == 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}
