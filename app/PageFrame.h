// The head and footer every page shares, and the site owner's settings files
// in the program's folder: header.txt (lines copied into every head) and
// pagetitle.txt (the title, and THUMBSIZE:height,width).
#pragma once
#include <string>

void PageHead();
void PageFooter();
void ReadThumbnailSize(int& height, int& width);
// The first line of pagetitle.txt, or fallback when the file does not exist.
std::string PageTitle(const std::string& fallback);
