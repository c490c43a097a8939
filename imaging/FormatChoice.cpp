#include "imaging/FormatChoice.h"

namespace imaging {

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

}  // namespace

const PictureFormat* FormatChoice::ForExtension(const std::string& extension) const {
    const std::string wanted = Upper(extension);
    for (const PictureFormat* format : formats_)
        for (const std::string& own : format->Extensions())
            if (own == wanted) return format;
    return nullptr;
}

const PictureFormat* FormatChoice::ForContent(const void* head, size_t size) const {
    for (const PictureFormat* format : formats_)
        if (format->Recognises(head, size)) return format;
    return nullptr;
}

}  // namespace imaging
