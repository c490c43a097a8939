#include "platform/Text.h"

#include <limits>

namespace text {

std::string Trim(std::string_view s) {
    size_t first = 0, last = s.size();
    while (first < last && IsBlankOrControl(s[first])) ++first;
    while (last > first && IsBlankOrControl(s[last - 1])) --last;
    return std::string(s.substr(first, last - first));
}

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = FoldUpper(c);
    return r;
}

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = FoldLower(c);
    return r;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldLower(a[i]) != FoldLower(b[i])) return false;
    return true;
}

int CompareIgnoreCase(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(FoldLower(a[i]));
        unsigned char y = static_cast<unsigned char>(FoldLower(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

size_t Find(std::string_view haystack, std::string_view needle, size_t from) {
    return haystack.find(needle, from);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool TryStrToInt64(std::string_view s, int64_t& value) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size()) return false;
    // Accumulate as a negative number so that the most negative value fits.
    int64_t acc = 0;
    const int64_t lowest = std::numeric_limits<int64_t>::min();
    for (; i < s.size(); ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        if (acc < (lowest + d) / base) return false;
        acc = acc * base - d;
    }
    if (!negative) {
        if (acc == lowest) return false;
        acc = -acc;
    }
    value = acc;
    return true;
}

bool TryStrToInt(std::string_view s, int32_t& value) {
    int64_t v;
    if (!TryStrToInt64(s, v)) return false;
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return false;
    value = static_cast<int32_t>(v);
    return true;
}

}  // namespace text
