// Taking paths apart. Both separators are accepted ("/" here, "\" in names
// written for the home platform), so that names that arrive from either
// side come apart the same way.
#pragma once
#include <string>
#include <string_view>

namespace platform {

// Up to and including the last "/" or "\"; "" when there is none.
std::string FolderPart(std::string_view path);
// After the last "/" or "\"; the whole path when there is none.
std::string FileNameOf(std::string_view path);

}  // namespace platform
