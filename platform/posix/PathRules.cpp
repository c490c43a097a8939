#include "platform/Path.h"

namespace platform {

const char NativeSeparator = '/';

// "\" is an ordinary byte of a name here.
bool IsSeparator(char c) { return c == '/'; }

bool IsAbsolutePath(std::string_view path) { return !path.empty() && path[0] == '/'; }

}  // namespace platform
