#pragma once
#include <string>

// Creates (replacing) a side file of one blank line and reports it on the page.
void CreateBlankSideFile(const std::string& path);
