// The gallery's pages. The dispatcher calls them through a table so that a
// test can see which one a request reached.
#pragma once
#include <functional>

void PhotoPage();
void ReportPage();
void SlideshowPage();
void RepairSideFiles();

struct PageTable {
    std::function<void()> photo = PhotoPage;
    std::function<void()> report = ReportPage;
    std::function<void()> slideshow = SlideshowPage;
    std::function<void()> repair = RepairSideFiles;
};
PageTable& Pages();
