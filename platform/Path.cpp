#include "platform/Path.h"

namespace platform {

PathParts SplitPath(std::string_view path) {
    size_t sep = path.find_last_of("/\\");
    if (sep == std::string_view::npos) return {std::string(), std::string(path)};
    return {std::string(path.substr(0, sep + 1)), std::string(path.substr(sep + 1))};
}

}  // namespace platform
