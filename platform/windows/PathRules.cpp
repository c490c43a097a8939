#include "platform/Path.h"

namespace platform {

const char NativeSeparator = '\\';

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAbsolutePath(std::string_view path) {
    if (!path.empty() && IsSeparator(path[0])) return true;
    return path.size() >= 3 && path[1] == ':' && IsSeparator(path[2]);
}

}  // namespace platform
