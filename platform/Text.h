// Byte-string helpers shared by every layer. Strings are 8-bit text; ignoring
// case folds the ASCII letters only, and case-insensitive ordering compares the
// bytes folded to lower case.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

inline char FoldLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char FoldUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// Bytes 0..32: blanks and control characters, which trimming removes.
inline bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }
// Without leading and trailing bytes 0..32.
std::string Trim(std::string_view s);

std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// <0, 0, >0 like strcmp, comparing bytes folded to lower case.
int CompareIgnoreCase(std::string_view a, std::string_view b);
// Position of needle in haystack, or npos.
size_t Find(std::string_view haystack, std::string_view needle, size_t from = 0);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);

// Integer conversion as the runtime does it: leading blanks are skipped, then an
// optional sign and digits (or "$1F" / "0x1F" hex); nothing may follow; the
// value must fit the type.
bool TryStrToInt(std::string_view s, int32_t& value);
// Like TryStrToInt, but 64-bit.
bool TryStrToInt64(std::string_view s, int64_t& value);

struct LessIgnoreCase {
    bool operator()(std::string_view a, std::string_view b) const { return CompareIgnoreCase(a, b) < 0; }
};

}  // namespace text
