#include "engine/HttpUtils.h"

#include <cmath>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Path.h"

namespace http {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// A path that names its own root: "/..." here, or "X:\..." / "X:/..." as
// written for the home platform.
bool IsAbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return true;
    return path.size() >= 3 && path[1] == ':' && IsSeparator(path[2]);
}

// Replaces the first occurrence of pattern by its first character until none
// is left. The scan resumes where the last replacement happened: nothing
// before it can have changed.
void CollapseRepeatedly(std::string& path, const std::string& pattern) {
    size_t pos = path.find(pattern);
    while (pos != std::string::npos) {
        path.erase(pos + 1, pattern.size() - 1);
        pos = path.find(pattern, pos);
    }
}

}  // namespace

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string UrlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else if (c == '+') {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string UrlEncode(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == ' ') {
            out.push_back('+');
        } else if (c == '.' || c == '/' || c == '\\' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                   (c >= 'a' && c <= 'z')) {
            out.push_back(c);
        } else {
            unsigned char b = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(digits[b >> 4]);
            out.push_back(digits[b & 15]);
        }
    }
    return out;
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::vector<std::string> TextToList(std::string_view text) {
    size_t end = text.find('\0');
    if (end != std::string_view::npos) text = text.substr(0, end);
    std::vector<std::string> lines;
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        while (i < text.size() && text[i] != '\r' && text[i] != '\n') ++i;
        lines.emplace_back(text.substr(start, i - start));
        if (i < text.size() && text[i] == '\r') ++i;
        if (i < text.size() && text[i] == '\n') ++i;
    }
    return lines;
}

std::string HttpDate(double epochSeconds) {
    // Keep the moment where the calendar conversion is defined and the year
    // has four digits (0001-01-01 .. 9999-12-31); NaN counts as the epoch.
    constexpr double first = -62135596800.0, last = 253402300799.0;
    if (!(epochSeconds >= first)) epochSeconds = std::isnan(epochSeconds) ? 0.0 : first;
    if (epochSeconds > last) epochSeconds = last;
    platform::DateTime t = platform::UtcDateTime(epochSeconds);
    static const char days[] = "SunMonTueWedThuFriSat";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3s, %02d %.3s %04d %02d:%02d:%02d GMT", days + 3 * (t.dayOfWeek - 1),
                  t.day, months + 3 * (t.month - 1), t.year, t.hour, t.minute, t.second);
    return buffer;
}

std::string GetEnvVar(const std::string& name) {
    // A value longer than the home platform's 4094-byte buffer is returned
    // whole: a cut value would name a different folder or server, silently.
    std::string value;
    if (!platform::ReadEnvironmentVariable(name, value)) return {};
    if (name == "SERVER_SOFTWARE" && value.find("ZB") != std::string::npos) return {};
    return value;
}

std::string ComposeFilePath(const std::string& basePath, const std::string& directory, bool takeName,
                            const std::string& name, bool takeExtension, const std::string& extension) {
    if (IsAbsolutePath(name)) return name;

    std::string folder;
    if (IsAbsolutePath(directory)) {
        folder = directory + "/";
    } else {
        // A base path without a folder leaves the directory relative to the
        // current one rather than turning it into one at the root.
        std::string baseFolder = platform::FolderPart(basePath);
        folder = (baseFolder.empty() ? std::string() : baseFolder + "/") + directory + "/";
    }

    std::string namePart, extensionPart;
    if (takeName || takeExtension) {
        std::string baseName = platform::FileNameOf(basePath);
        size_t dot = baseName.find('.');
        if (dot != std::string::npos) {
            if (takeExtension) extensionPart = baseName.substr(dot + 1);
            if (takeName) namePart = baseName.substr(0, dot);
        }
    }

    // A name with a relative folder keeps that folder; its first dot is looked
    // for in its last component only, so a dotted folder is not cut.
    std::string nameFolder = platform::FolderPart(name);
    std::string fileName = name.substr(nameFolder.size());
    size_t dot = fileName.find('.');
    if (dot == std::string::npos) {
        namePart += name;
    } else {
        if (extension.empty()) extensionPart += fileName.substr(dot + 1);
        namePart += nameFolder + fileName.substr(0, dot);
    }
    extensionPart += extension;

    // Parts are taken whole (no length caps): a cut part would name another file.
    std::string path = folder + namePart + "." + extensionPart;
    CollapseRepeatedly(path, "/./");
    CollapseRepeatedly(path, "//");
    return path;
}

std::string ModulePath() { return platform::ModulePath(); }

bool FindFile(const std::string& mask, bool includeDirectories, std::string* foundName) {
    for (const platform::DirEntry& entry : platform::FindFiles(mask)) {
        if (entry.directory && !includeDirectories) continue;
        if (foundName) *foundName = entry.name;
        return true;
    }
    return false;
}

std::string ReplaceChar(char from, char to, std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == from) c = to;
    return out;
}

std::string AddressAsFileName(std::string_view address) {
    std::string out(address);
    for (char& c : out) {
        bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == ':' || c == '_' || c == '-';
        if (!kept) c = '_';
    }
    return out;
}

std::string WithSystemDrive(const std::string& path) { return path; }

}  // namespace http
