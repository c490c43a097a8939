#include "platform/TextFile.h"

#include <cerrno>

#include "platform/File.h"
#include "platform/Files.h"

namespace platform {

TextFileReader::TextFileReader(const std::string& path) {
    File f = File::Open(path, OpenMode::Read);
    char buffer[8192];
    for (;;) {
        int64_t n = f.Read(buffer, sizeof buffer);
        if (n < 0) RaiseIoError(errno);
        if (n == 0) break;
        data_.append(buffer, static_cast<size_t>(n));
    }
    size_t eot = data_.find('\x1a');
    end_ = eot == std::string::npos ? data_.size() : eot;
}

std::string TextFileReader::ReadLine() {
    size_t start = pos_;
    while (pos_ < end_ && data_[pos_] != '\r' && data_[pos_] != '\n') ++pos_;
    std::string line = data_.substr(start, pos_ - start);
    if (pos_ < end_ && data_[pos_] == '\r') ++pos_;
    if (pos_ < end_ && data_[pos_] == '\n') ++pos_;
    return line;
}

std::string ReadFirstTextLine(const std::string& path) {
    // Only as much of the file as the first line needs: side files are read
    // by the hundred for one page, and most are a few bytes.
    File f = File::Open(path, OpenMode::Read);
    std::string data;
    char buffer[4096];
    size_t end = std::string::npos;
    while (end == std::string::npos) {
        int64_t n = f.Read(buffer, sizeof buffer);
        if (n < 0) RaiseIoError(errno);
        if (n == 0) break;
        size_t before = data.size();
        data.append(buffer, static_cast<size_t>(n));
        end = data.find_first_of("\r\n\x1a", before);
    }
    return end == std::string::npos ? data : data.substr(0, end);
}

void ReplaceFileContents(const std::string& path, const std::string& bytes) {
    std::string temporary = TemporaryNameBeside(path);
    {
        File f = File::Open(temporary, OpenMode::CreateNew);
        if (f.Write(bytes.data(), static_cast<int64_t>(bytes.size())) != static_cast<int64_t>(bytes.size())) {
            int error = errno ? errno : EIO;
            f.Close();
            DeleteFile(temporary);
            RaiseIoError(error);
        }
    }
    if (!RenameFile(temporary, path)) {
        int error = errno;
        DeleteFile(temporary);
        RaiseIoError(error);
    }
}

}  // namespace platform
