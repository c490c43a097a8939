// The gallery's locations and the state its dispatcher hands to the pages.
#pragma once
#include <string>

// The query string of the current GET request, stored by the dispatcher.
std::string& GalleryQueryString();
// The URL path of the script's folder, ending in "/", stored by the
// dispatcher on the way to the photo page of a GET request. Each thread (and
// so each concurrent request of a library host) has its own.
std::string& GalleryUrlDirectory();

// The folder holding the pictures: the document root (or PATH_TRANSLATED)
// followed by the script's folder, ending in "/". Extra path after the
// script's name (PATH_INFO) leaves it where it is.
std::string PictureDirectory();
// The URL path of the script's folder, ending in "/" ("/" for a script at the root).
std::string UrlDirectory();
