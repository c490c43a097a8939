// Page routines whose pages are not written yet: they answer with an empty body.
#include "app/Pages.h"

void PhotoPage() {}
void ReportPage() {}
void SlideshowPage() {}
void RepairSideFiles() {}
