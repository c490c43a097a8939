#include "app/Thumbnails.h"

#include <algorithm>
#include <exception>

#include "app/BrowserCopies.h"
#include "app/FolderView.h"
#include "app/Kit.h"
#include "app/PageFrame.h"
#include "app/PictureFormats.h"
#include "app/ThumbnailClaims.h"
#include "app/Trace.h"
#include "engine/Log.h"
#include "imaging/Picture.h"
#include "imaging/PointSampledJpeg.h"
#include "imaging/PointSampler.h"
#include "platform/Exception.h"
#include "platform/File.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Stream.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

double AspectRatio(int width, int height) {
    if (height == 0) return 1.0;
    long double ratio = static_cast<long double>(width) / static_cast<long double>(height);
    return static_cast<double>(ratio);
}

int DerivedWidth(int height, double ratio) {
    long double product = static_cast<long double>(height) * static_cast<long double>(ratio);
    return static_cast<int>(product);
}

void LoadPicture(const std::string& path, TBitmap& bitmap) {
    std::string existing = folder_view::Existing(path);
    if (existing.empty()) return;
    // The rows as the file stores them (a JPEG's EXIF turn not applied), by
    // the decoder its extension chooses; nothing when it cannot be decoded.
    try {
        auto decoder = PictureFormatOf(existing).Open(existing);
        decoder->ReadHeader();
        imaging::WholePicture stored(1);
        decoder->Decode(imaging::DecodeRequest(), stored);
        bitmap = stored.Result();
    } catch (const std::exception&) {
        bitmap = TBitmap();
    }
}

void StretchPicture(TBitmap& bitmap, int height, int width) {
    // The whole picture drawn into width x height over a fill of its top-left
    // colour; the stretch covers every pixel, so the copy starts from it.
    TColor corner = bitmap.Pixel(0, 0);
    TBitmap result = bitmap.StretchedCopy(width, height);
    result.SetTransparentColor(corner);
    bitmap = result;
}

void CropPicture(TBitmap& bitmap, int height, int width) {
    int w = bitmap.Width(), h = bitmap.Height();
    int left = width < w ? (w - width) / 2 : 0;
    int top = height < h ? (h - height) / 2 : 0;
    TraceLine("Cropleft:" + std::to_string(left) + "  CropTop:" + std::to_string(top));
    TBitmap result;
    result.SetPixelFormat(pf8bit);
    result.SetSize(width, height);
    TColor corner = bitmap.Pixel(0, 0);
    result.SetBrushColor(corner);
    result.FillRect(Rect(0, 0, width, height));
    result.SetTransparentColor(corner);
    for (int y = 0; y < height; ++y) {
        int sy = std::min(std::max(top + y, 0), std::max(h - 1, 0));
        for (int x = 0; x < width; ++x) {
            int sx = std::min(std::max(left + x, 0), std::max(w - 1, 0));
            result.SetPixel(x, y, bitmap.Pixel(sx, sy));
        }
    }
    bitmap = result;
}

void FitPicture(TBitmap& bitmap, int height, int width) {
    if (height < 1) height = 1;
    if (width < 1) width = 1;
    if (height >= bitmap.Height()) return;
    int nw = DerivedWidth(height, AspectRatio(bitmap.Width(), bitmap.Height()));
    StretchPicture(bitmap, height, nw);
    if (bitmap.Width() > width) CropPicture(bitmap, height, width);
}

namespace {
// FitPicture's result size, chosen from the picture's size in its header: the
// height and the derived width when the picture is taller than the height,
// else the picture's own size. ratio and stretched tell which.
imaging::TargetChooser FitTarget(int fitHeight, double& ratio, bool& stretched) {
    return [fitHeight, &ratio, &stretched](int fullWidth, int fullHeight, int& targetWidth, int& targetHeight) {
        ratio = AspectRatio(fullWidth, fullHeight);
        stretched = fitHeight < fullHeight;
        targetWidth = stretched ? DerivedWidth(fitHeight, ratio) : fullWidth;
        targetHeight = stretched ? fitHeight : fullHeight;
    };
}
}  // namespace

int LoadFittedFile(const std::string& existing, int height, TBitmap& bitmap, bool* unreadable, std::string* failure,
                   bool oneThread, int* orientation) {
    bitmap = TBitmap();
    if (unreadable) *unreadable = false;
    if (orientation) *orientation = 1;
    if (existing.empty()) return DerivedWidth(height, 1.0);
    // Decoded once, by the decoder the extension chooses, straight to the
    // size the fit would give: the header decides it. A picture that cannot
    // be decoded stays empty.
    double ratio = 1.0;
    bool stretched = false;
    int fitHeight = std::max(height, 1);
    int fullWidth = 0, fullHeight = 0;
    try {
        auto decoder = PictureFormatOf(existing).Open(existing);
        imaging::DecodePointSampled(*decoder, FitTarget(fitHeight, ratio, stretched), bitmap, &fullWidth, &fullHeight,
                                    oneThread, orientation);
    } catch (const std::exception& error) {
        bitmap = TBitmap();
        if (unreadable) *unreadable = true;
        if (failure) *failure = error.what();
        return DerivedWidth(height, 1.0);
    }
    // A picture of no pixels is one that could not be read.
    if (unreadable) *unreadable = fullWidth == 0 && fullHeight == 0;
    int width = DerivedWidth(height, ratio);
    int fitWidth = std::max(width, 1);
    if (stretched && bitmap.Width() > fitWidth) CropPicture(bitmap, fitHeight, fitWidth);
    return width;
}

int WriteFittedJpeg(Stream& picture, const imaging::PictureFormat& format, int height, int quality, Stream& out) {
    // At a height of 1 or more the fit never crops: the stretch gives the
    // derived width itself.
    double ratio = 1.0;
    bool stretched = false;
    imaging::WritePointSampledJpeg(
        [&] {
            if (picture.Seek(0, 0) != 0) throw Exception("Stream read error");
            return format.OpenStream(picture);
        },
        FitTarget(std::max(height, 1), ratio, stretched), quality, out);
    return DerivedWidth(height, ratio);
}

std::string ThumbnailPath(const std::string& picturePath) {
    return kit::WithoutExtension(kit::DirectoryPart(picturePath) + "t_" + kit::FileNamePart(picturePath)) + ".jpg";
}

bool WriteJpegQuietly(const TBitmap& bitmap, const std::string& path, int quality) {
    try {
        platform::ReplaceFileContents(path, EncodeJpeg(bitmap, quality));
        folder_view::NoteCreated(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool MakeClaimedThumbnail(const std::string& picturePath, const std::string& thumbnailPath) {
    if (!ClaimThumbnail(thumbnailPath)) return false;
    HeldThumbnailClaim held(thumbnailPath);
    if (!platform::FileExists(thumbnailPath)) CreateThumbnail(picturePath);
    else folder_view::NoteCreated(thumbnailPath);  // made by a request that just released its claim
    return true;
}

ThumbnailOutcome MakeClaimedThumbnail(const ThumbnailSource& source, std::string* toLog) {
    if (!ClaimThumbnail(source.thumbnailPath)) return ThumbnailOutcome::ClaimedElsewhere;
    HeldThumbnailClaim held(source.thumbnailPath);
    if (platform::FileExists(source.thumbnailPath)) return ThumbnailOutcome::AlreadyThere;
    return CreateThumbnail(source, true, toLog);
}

void CreateThumbnail(const std::string& picturePath) {
    ThumbnailSource source;
    source.picturePath = picturePath;
    source.existingPicture = folder_view::Existing(picturePath);
    source.thumbnailPath = ThumbnailPath(picturePath);
    TraceLine("Create Thumbnail file: " + picturePath);
    if (!source.existingPicture.empty()) {
        int unusedWidth = 85;
        ReadThumbnailSize(source.height, unusedWidth);
    }
    std::string failure;
    CreateThumbnail(source, false, &failure);
    if (!failure.empty()) LogUndecodablePicture(picturePath, failure);
}

void LogUndecodablePicture(const std::string& picturePath, const std::string& message) {
    WriteLog("Thumbnail left empty, the picture cannot be decoded: " + picturePath + ": " + message);
}

ThumbnailOutcome CreateThumbnail(const ThumbnailSource& source, bool traceStart, std::string* toLog) {
    if (traceStart) TraceLine("Create Thumbnail file: " + source.picturePath);
    if (source.existingPicture.empty()) {
        TraceLine("Not Exist: " + source.picturePath);
        return ThumbnailOutcome::PictureMissing;
    }
    TBitmap bitmap;
    bool unreadable = false;
    std::string failure;
    int orientation = 1;
    int width = LoadFittedFile(source.existingPicture, source.height, bitmap, &unreadable, &failure, source.oneThread,
                               &orientation);
    TraceLine("Thumbnail size " + std::to_string(source.height) + "," + std::to_string(width));
    bool written = WriteJpegQuietly(bitmap, source.thumbnailPath, 75);
    // Browsers show a PNG or WebP as stored, whatever its EXIF orientation
    // says: a turned one is linked through a JPEG of it, upright, made now.
    if (orientation != 1 && BrowsersShowUnturned(source.existingPicture))
        MakeClaimedBrowserCopy(source.existingPicture);
    // A decoding failure of any picture but a JPEG (whose never was) is the
    // site owner's business: said once, as its empty thumbnail is made,
    // since that thumbnail stays and is never made again.
    if (unreadable && written && toLog && text::UpperCase(kit::ExtensionPart(source.existingPicture)) != "JPG")
        *toLog = failure;
    if (unreadable) return ThumbnailOutcome::PictureUnreadable;
    return written ? ThumbnailOutcome::Made : ThumbnailOutcome::NotWritten;
}
