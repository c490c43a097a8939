// The pieces of the photo page.
#pragma once
#include <string>
#include <vector>

// Scans the listing files, sorts the pictures and writes their cells;
// returns the number of list entries.
int WritePictureTable();
// Appends to html the cells of one picture of directory (making its
// thumbnail when missing), its links beginning with linkBase; false for an
// empty name or a name beginning with "t_".
bool PictureCell(const std::string& name, const std::string& directory, const std::string& linkBase,
                 std::string& html);
// " width=W height=H" from the thumbnail's JPEG header (0 and 0 when it is
// empty or unreadable).
std::string ThumbnailSizeAttributes(const std::string& thumbnailPath);
// The file names of the pictures the page lists for the folder, in page
// order (the scan's trace lines are traced).
std::vector<std::string> PagePictures(const std::string& directory);
