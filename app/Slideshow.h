// The pieces of the slideshow.
#pragma once
#include <string>

// The visitor's state file: SlideNext<address>.txt in the private folder
// (the program's own unless CGI_PRIVATE_DIR names another).
std::string SlideStateFile();
// Advances and stores the visitor's index; lastIndex is the list's count - 1.
int NextSlideIndex(int lastIndex);
// The name of the slide to show to this visitor now.
std::string SelectSlide();
// Writes the shared slide file from the named picture of the program's folder.
void CreateSlidePicture(const std::string& name);
