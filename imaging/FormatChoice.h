// The formats a gallery reads, and the choice among them: by a file's
// extension, or by its first bytes.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "imaging/PictureFormat.h"

namespace imaging {

class FormatChoice {
public:
    FormatChoice() = default;
    explicit FormatChoice(std::vector<const PictureFormat*> formats) : formats_(std::move(formats)) {}

    // The first format that takes the extension (without the dot; letter case
    // ignored), or nullptr.
    const PictureFormat* ForExtension(const std::string& extension) const;
    // The first format that recognises the bytes (a file's first
    // RecogniseBytes or fewer), or nullptr.
    const PictureFormat* ForContent(const void* head, size_t size) const;
    const std::vector<const PictureFormat*>& Formats() const { return formats_; }

private:
    std::vector<const PictureFormat*> formats_;
};

}  // namespace imaging
