#include "app/Gallery.h"

#include "app/Kit.h"
#include "engine/HttpEngine.h"
#include "engine/StringList.h"

namespace {
// The exact value of a variable the server sent, without the lookup's
// alternative names (asked for as DOCUMENT_ROOT, PATH_TRANSLATED would answer).
std::string SentVariable(const char* name) {
    StringList* variables = CurrentHttpEngine() ? CurrentHttpEngine()->ServerVariables() : nullptr;
    return variables ? variables->Value(name) : std::string();
}

bool EndsWithPath(const std::string& path, const std::string& tail) {
    if (tail.size() > path.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        char a = path[path.size() - tail.size() + i], b = tail[i];
        if (a != b && !((a == '/' || a == '\\') && (b == '/' || b == '\\'))) return false;
    }
    return true;
}

// The root the script's folder is found under. Extra path after the script's
// name (PATH_INFO) never moves it: servers translate that path to
// PATH_TRANSLATED (the document root + PATH_INFO, or wherever an alias maps
// it), and following it would let a request publish, and write side files
// into, any folder the server can reach. With PATH_INFO the document root is
// taken; a server that sends none gets PATH_TRANSLATED less a trailing
// PATH_INFO.
std::string GalleryRoot() {
    std::string pathInfo = HttpGetVar("PATH_INFO");
    if (pathInfo.empty()) return HttpGetVar("Path_Translated");
    std::string root = SentVariable("DOCUMENT_ROOT");
    if (!root.empty()) return root;
    std::string translated = SentVariable("PATH_TRANSLATED");
    if (translated.size() > pathInfo.size() && EndsWithPath(translated, pathInfo))
        return translated.substr(0, translated.size() - pathInfo.size());
    return SentVariable("PATH");  // what the lookup falls back to without either
}
}  // namespace

std::string PictureDirectory() {
    std::string d = kit::DirectoryPart(HttpGetVar("SCRIPT_NAME"));
    for (char& c : d)
        if (c == '\\') c = '/';
    if (!d.empty() && d[0] == '/') d.erase(0, 1);
    std::string t = kit::WithTrailingSeparator(GalleryRoot());
    return t + d;
}

std::string UrlDirectory() { return kit::DirectoryPart(HttpGetVar("SCRIPT_NAME")); }
