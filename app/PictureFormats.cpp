#include "app/PictureFormats.h"

#include <algorithm>
#include <array>

#include "app/Kit.h"
#include "imaging/ClassicFormats.h"
#include "imaging/LibraryFormats.h"
#include "platform/Environment.h"
#include "platform/Text.h"

namespace {

// Every extension the gallery can list, in page order.
const std::array<const char*, 7> AllExtensions = {".jpg", ".gif", ".png", ".webp", ".heic", ".heif", ".avif"};
constexpr size_t ClassicCount = 2;  // .jpg and .gif

// ".ext" of a name, lower case.
std::string DottedExtension(const std::string& name) {
    std::string extension = ".";
    extension += text::LowerCase(kit::ExtensionPart(name));
    return extension;
}

std::string SettingOfProcess() {
    std::string value;
    platform::ReadEnvironmentVariable("PICTORAMA_FORMATS", value);
    return value;
}

bool Enabled(const std::vector<std::string>& extensions, const std::string& extension) {
    return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
}

}  // namespace

std::vector<std::string> ParsePictureFormats(const std::string& setting) {
    std::vector<bool> wanted(AllExtensions.size(), false);
    bool any = false;
    std::string word;
    auto take = [&] {
        if (word.empty()) return;
        const std::string name = text::LowerCase(word);
        word.clear();
        if (name == "classic" || name == "all") {
            any = true;
            for (size_t i = 0; i < (name == "all" ? AllExtensions.size() : ClassicCount); ++i) wanted[i] = true;
            return;
        }
        for (size_t i = 0; i < AllExtensions.size(); ++i)
            if (name == AllExtensions[i] + 1) wanted[i] = any = true;
    };
    for (char c : setting) {
        if (c == ' ' || c == ',' || c == '\t') take();
        else word += c;
    }
    take();
    // Nothing named that the gallery knows: the gallery as it always was.
    if (!any)
        for (size_t i = 0; i < ClassicCount; ++i) wanted[i] = true;
    std::vector<std::string> extensions;
    for (size_t i = 0; i < AllExtensions.size(); ++i)
        if (wanted[i]) extensions.push_back(AllExtensions[i]);
    return extensions;
}

std::vector<std::string> PictureExtensions() { return ParsePictureFormats(SettingOfProcess()); }

bool NewFormatsEnabled() {
    for (const std::string& extension : PictureExtensions())
        if (extension != ".jpg" && extension != ".gif") return true;
    return false;
}

const imaging::PictureFormat& PictureFormatOf(const std::string& path) {
    const std::string extension = DottedExtension(path);
    if (extension == ".jpg") return imaging::JpegFormat();
    if (extension == ".gif") return imaging::GifFormat();
    // The formats read through libraries only where the site owner asked for
    // them; any other file is read as a BMP file, as it always was.
    const std::string setting = SettingOfProcess();
    if (!setting.empty() && Enabled(ParsePictureFormats(setting), extension)) {
        if (extension == ".png") return imaging::PngFormat();
        if (extension == ".webp") return imaging::WebpFormat();
        if (extension == ".heic" || extension == ".heif" || extension == ".avif") return imaging::HeifFormat();
    }
    return imaging::BmpFormat();
}

bool ExtensionEnabled(const std::string& name) {
    return Enabled(PictureExtensions(), DottedExtension(name));
}

bool NeedsBrowserCopy(const std::string& name) {
    const std::string extension = text::LowerCase(kit::ExtensionPart(name));
    return (extension == "heic" || extension == "heif") && ExtensionEnabled(name);
}
