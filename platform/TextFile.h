// Text files as the gallery's site owners write them: lines end in CR LF (a
// lone LF or CR is accepted too), and a byte 26 ends the readable text.
#pragma once
#include <string>

namespace platform {

class TextFileReader {
public:
    // Raises EInOutError when the file cannot be opened or read.
    explicit TextFileReader(const std::string& path);
    bool Eof() const { return pos_ >= end_; }
    // The next line without its line end; "" at the end of the text.
    std::string ReadLine();

private:
    std::string data_;
    size_t pos_ = 0;
    size_t end_ = 0;
};

// The first line of a text file; an empty file gives "". Raises EInOutError.
std::string ReadFirstTextLine(const std::string& path);
// Writes bytes to a temporary file beside path and renames it into place, so
// that readers never see a partial file. Raises EInOutError.
void ReplaceFileContents(const std::string& path, const std::string& bytes);

}  // namespace platform
