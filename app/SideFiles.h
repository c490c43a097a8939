// The small text files beside each picture: the caption (base.txt) and the
// listing entry (base.idd), of which only the first line counts.
#pragma once
#include <string>

// The first line of a text file, or "" when it does not exist. Raises the
// runtime's I/O error when it exists but cannot be read.
std::string ReadFirstLine(const std::string& path);
// The slideshow's caption: the first line of name in the program's folder.
void ReadCaptionFile(const std::string& name, std::string& caption);
