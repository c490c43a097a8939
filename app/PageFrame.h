// The head and footer every page shares, and the site owner's settings files
// in the program's folder: header.txt (lines copied into every head) and
// pagetitle.txt (the title, and THUMBSIZE:height,width).
#pragma once
#include <string>

void PageHead();
void PageFooter();
// The thumbnail height and width from THUMBSIZE: (70 and 85 by default). A
// number beyond MaxThumbnailSize either way falls back to its default as a
// non-number does: the thumbnail width is the height times the picture's
// aspect ratio (up to 65535 for a one-pixel-high picture), and that product
// must stay an int. Zero and small negative numbers stand (a 1-pixel
// thumbnail).
constexpr int MaxThumbnailSize = 4096;
void ReadThumbnailSize(int& height, int& width);
// The first line of pagetitle.txt, or fallback when the file does not exist.
std::string PageTitle(const std::string& fallback);
