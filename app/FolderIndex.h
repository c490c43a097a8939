// Existence checks for the gallery's files. Names are matched as the site
// owner expects (exact name first, else ignoring letter case), and a folder is
// listed once per request instead of once per lookup: a photo page asks about
// four files per picture. A resident process keeps the listings between
// requests while the folders stay unchanged (app/FolderCache.h).
#pragma once
#include <string>
#include <vector>

#include "platform/Files.h"

namespace folder_index {

// The on-disk path of an existing file (not a folder), or "".
std::string Existing(const std::string& path);
inline bool Exists(const std::string& path) { return !Existing(path).empty(); }
// platform::FindFiles, answered from the kept listing when it can be.
std::vector<platform::DirEntry> FindFiles(const std::string& mask);
// Tells the index that the gallery created path.
void NoteCreated(const std::string& path);
// Forgets every listing (at the start of each request).
void Reset();

}  // namespace folder_index
