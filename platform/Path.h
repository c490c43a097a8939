// Taking paths apart. Both separators are accepted ("/" here, "\" in names
// written for the home platform), so that names that arrive from either
// side come apart the same way.
#pragma once
#include <string>
#include <string_view>

namespace platform {

// A path taken apart at its last separator, "/" or "\": the folder with that
// separator ("" when there is none) and the whole name after it, however long.
struct PathParts {
    std::string folder;
    std::string name;
};
PathParts SplitPath(std::string_view path);

// The two halves of SplitPath on their own.
inline std::string FolderPart(std::string_view path) { return SplitPath(path).folder; }
inline std::string FileNameOf(std::string_view path) { return SplitPath(path).name; }

}  // namespace platform
