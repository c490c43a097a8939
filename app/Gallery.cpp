#include "app/Gallery.h"

#include "app/Kit.h"
#include "engine/HttpEngine.h"

std::string& GalleryQueryString() {
    thread_local std::string value;
    return value;
}

std::string& GalleryUrlDirectory() {
    thread_local std::string value;
    return value;
}

std::string PictureDirectory() {
    std::string d = kit::DirectoryPart(HttpGetVar("SCRIPT_NAME"));
    for (char& c : d)
        if (c == '\\') c = '/';
    if (!d.empty() && d[0] == '/') d.erase(0, 1);
    std::string t = kit::WithTrailingSeparator(HttpGetVar("Path_Translated"));
    return t + d;
}

std::string UrlDirectory() { return kit::DirectoryPart(HttpGetVar("SCRIPT_NAME")); }
