#include "app/HtmlText.h"

#include <cstring>

namespace {
bool IsUrlSafe(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return c != 0 && std::strchr("-._~!$'()*+,;=:@", c) != nullptr;
}
}  // namespace

std::string UrlPathEncode(const std::string& text, bool keepSlashes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (IsUrlSafe(c) || (keepSlashes && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
