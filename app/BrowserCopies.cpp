#include "app/BrowserCopies.h"

#include "app/FolderView.h"
#include "app/HtmlText.h"
#include "app/Kit.h"
#include "app/PictureFormats.h"
#include "app/ThumbnailClaims.h"
#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "imaging/PictureFormat.h"
#include "imaging/PointSampledJpeg.h"
#include "platform/Environment.h"
#include "platform/Exception.h"
#include "platform/File.h"
#include "platform/Files.h"
#include "platform/Stream.h"
#include "platform/Text.h"

namespace {
const char* const QueryKey = "VIEW=";
}  // namespace

std::string BrowserCopyPath(const std::string& directory, const std::string& name) {
    return directory + "t_" + name + ".jpeg";
}

bool BrowsersShowUnturned(const std::string& name) {
    const std::string extension = text::LowerCase(kit::ExtensionPart(name));
    return (extension == "png" || extension == "webp") && ExtensionEnabled(name);
}

std::string KeptCopyLink(const std::string& directory, const std::string& name) {
    const std::string kept = folder_view::Existing(BrowserCopyPath(directory, name));
    return kept.empty() ? "" : UrlPathEncode(kit::FileNamePart(kept));
}

void MakeClaimedBrowserCopy(const std::string& picture) {
    const std::string copy = BrowserCopyPath(kit::DirectoryPart(picture), kit::FileNamePart(picture));
    if (platform::FileExists(copy) || !ClaimThumbnail(copy)) return;
    HeldThumbnailClaim held(copy);
    if (!platform::FileExists(copy)) MakeBrowserCopy(picture, copy);
}

std::string BrowserCopyLink(const std::string& directory, const std::string& name) {
    const std::string kept = KeptCopyLink(directory, name);
    if (!kept.empty()) return kept;
    // A "+" in a query reads as a blank: it is encoded too.
    std::string value;
    for (char c : UrlPathEncode(name)) value += c == '+' ? std::string("%2B") : std::string(1, c);
    return UrlPathEncode(kit::FileNamePart(platform::ModulePath())) + "?" + QueryKey + value;
}

std::string BrowserCopyRequested(const std::string& query, const std::string& directory) {
    if (!text::StartsWith(query, QueryKey)) return "";
    const std::string name = http::UrlDecode(query.substr(std::char_traits<char>::length(QueryKey)));
    // One picture of the folder: no path, no private or generated file.
    if (name.empty() || name.find_first_of("/\\") != std::string::npos || name.find('\0') != std::string::npos ||
        text::StartsWith(name, "t_") || !NeedsBrowserCopy(name))
        return "";
    const std::string existing = folder_view::Existing(directory + name);
    return existing.empty() ? "" : kit::FileNamePart(existing);
}

void MakeBrowserCopy(const std::string& picture, const std::string& copyPath) {
    const std::string temporary = platform::TemporaryNameBeside(copyPath);
    try {
        bool decoded = false;
        {
            FileStream out(temporary, platform::OpenMode::Create);
            int error = 0;
            platform::File file = platform::File::TryOpen(picture, platform::OpenMode::Read, error);
            if (file.IsOpen()) {
                FileStream stream(std::move(file));
                const imaging::PictureFormat& format = PictureFormatOf(picture);
                try {
                    imaging::WritePointSampledJpeg(
                        [&] {
                            if (stream.Seek(0, 0) != 0) throw Exception("Stream read error");
                            return format.OpenStream(stream);
                        },
                        [](int fullWidth, int fullHeight, int& width, int& height) {
                            width = fullWidth;
                            height = fullHeight;
                        },
                        BrowserCopyQuality, out);
                    decoded = true;
                } catch (const std::exception&) {
                }
            }
        }
        if (!decoded) FileStream empty(temporary, platform::OpenMode::Create);
        if (platform::RenameFile(temporary, copyPath)) folder_view::NoteCreated(copyPath);
    } catch (const std::exception&) {
    }
    platform::DeleteFile(temporary);
}

void SendBrowserCopy(const std::string& directory, const std::string& name) {
    const std::string copy = BrowserCopyPath(directory, name);
    for (int attempt = 0; attempt < 3 && folder_view::Existing(copy).empty(); ++attempt) {
        if (ClaimThumbnail(copy)) {
            HeldThumbnailClaim held(copy);
            if (!platform::FileExists(copy)) MakeBrowserCopy(directory + name, copy);
            break;
        }
        AwaitThumbnail(copy);
    }
    // Made here, by another request, or earlier: on the disk under its own name.
    FileStream file(copy, platform::OpenMode::Read);
    THttpEngine* engine = CurrentHttpEngine();
    // This request's own type: the engine's setting serves every request of
    // a resident process.
    engine->AddHeader("content-type", "image/jpeg");
    engine->WriteStream(file);
}
