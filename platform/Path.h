// Taking paths apart, and the system's rules for them. Taking apart accepts
// both separators ("/", and "\" in names written for Windows), so that names
// that arrive from either side come apart the same way.
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

// The separator this system puts between folders: "/", or "\" on Windows.
extern const char NativeSeparator;
// A separator the system's file names take: "/" (and "\" on Windows).
bool IsSeparator(char c);
// A path that names its own root: "/..." (on Windows "X:\...", "X:/...",
// "\\server\..." or a path from the root of the current drive).
bool IsAbsolutePath(std::string_view path);

// The two halves of SplitPath on their own.
inline std::string FolderPart(std::string_view path) { return SplitPath(path).folder; }
inline std::string FileNameOf(std::string_view path) { return SplitPath(path).name; }

}  // namespace platform
