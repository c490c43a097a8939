// The gallery's locations. The state the dispatcher hands to the pages (the
// query string, the URL directory) is the request's own (GalleryRequest.h).
#pragma once
#include <string>

// The folder holding the pictures: the document root (or PATH_TRANSLATED)
// followed by the script's folder, ending in "/". Extra path after the
// script's name (PATH_INFO) leaves it where it is.
std::string PictureDirectory();
// The URL path of the script's folder, ending in "/" ("/" for a script at the root).
std::string UrlDirectory();
