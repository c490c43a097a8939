#include "app/Kit.h"

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Path.h"
#include "platform/Text.h"

namespace kit {

std::string TrimBlanks(const std::string& text) { return text::Trim(text); }

std::string WithTrailingSeparator(const std::string& path) {
    if (path.empty() || path.back() == '/' || platform::IsSeparator(path.back())) return path;
    return path + platform::NativeSeparator;
}

std::string DirectoryPart(const std::string& path) {
    // With both kinds present, the kind whose first occurrence comes later
    // separates the folders ("C:\a/b.exe" splits at "/").
    size_t backslash = path.find('\\');
    size_t slash = path.find('/');
    char separator = (backslash != std::string::npos && (slash == std::string::npos || slash < backslash)) ? '\\' : '/';
    size_t last = path.rfind(separator);
    if (last == std::string::npos) return path;
    // A script at the server's root keeps just the root: "/pictorama.cgi" gives "/".
    return path.substr(0, last + 1);
}

std::string ProgramDirectory() { return DirectoryPart(platform::ModulePath()); }

std::string FileNamePart(const std::string& path) {
    // The whole last component, however long the path: paths here may well
    // exceed 255 bytes, and cutting them would name a different file.
    return platform::SplitPath(path).name;
}

std::string ExtensionPart(const std::string& path) {
    std::string name = FileNamePart(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    return name.substr(dot + 1, 255);
}

std::string WithoutExtension(const std::string& path) {
    size_t dot = path.rfind('.');
    return dot == std::string::npos ? path : path.substr(0, dot);
}

}  // namespace kit
