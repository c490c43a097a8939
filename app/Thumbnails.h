// Pictures made smaller for the pages: thumbnails beside the pictures, and the
// shared routines the slideshow uses with its own height.
#pragma once
#include <memory>
#include <string>

#include "imaging/Bitmap.h"

class Stream;
namespace imaging {
class PictureFormat;
}

// W / H divided in extended precision and kept as a double; 1.0 when H is 0.
double AspectRatio(int width, int height);
// height x ratio with the fraction dropped, the product formed in extended
// precision (a 4:3 picture at height 60 gives 79, not 80).
int DerivedWidth(int height, double ratio);

// Reads a picture by its extension (PictureFormatOf): JPG, GIF, the formats
// the site owner enabled, anything else as BMP; its rows as stored (a JPEG's
// EXIF turn not applied). A picture that cannot be read or decoded leaves the
// bitmap empty.
void LoadPicture(const std::string& path, TBitmap& bitmap);
// Shrinks to the height keeping the aspect ratio, then cuts to at most width
// columns; never enlarges.
void FitPicture(TBitmap& bitmap, int height, int width);
void StretchPicture(TBitmap& bitmap, int height, int width);
void CropPicture(TBitmap& bitmap, int height, int width);

// LoadPicture, then FitPicture to height and the derived width, in one step,
// for a file looked up already: existing is its on-disk path, or "" when it
// is missing. The picture is decoded straight to its point-sampled size,
// upright (its EXIF orientation, HEIF's own transforms). Returns the derived width (the value the trace lines
// show). Looks nothing up, so any thread may call it; unreadable (when given)
// tells whether the file could not be decoded, and failure receives the
// decoder's message then.
// oneThread: the decoding uses no helper threads of a library (several
// thumbnails are being made at once). orientation receives the EXIF
// orientation the picture was turned upright by (1 when none).
int LoadFittedFile(const std::string& existing, int height, TBitmap& bitmap, bool* unreadable = nullptr,
                   std::string* failure = nullptr, bool oneThread = false, int* orientation = nullptr);

// LoadFittedFile of a picture of the format held by the stream, for a height
// of at least 1, followed by the JPEG writer at the quality: the same bytes,
// written to out as they are made, the picture never held
// (imaging/PointSampledJpeg.h). Returns the derived width. A picture that
// cannot be decoded raises; out may then hold a part of a file.
int WriteFittedJpeg(Stream& picture, const imaging::PictureFormat& format, int height, int quality, Stream& out);

// Makes t_<base>.jpg beside the picture at the thumbnail height, quality 75.
// A picture that cannot be decoded gets an empty thumbnail; its decoding
// failure is also logged (WriteLog) as that thumbnail is made, unless it is
// a JPEG.
void CreateThumbnail(const std::string& picturePath);

// One thumbnail to make, with what CreateThumbnail looks up for it (the
// picture's on-disk name, the thumbnail height) found by the request, so that
// the making itself touches no per-request state but the trace lines.
struct ThumbnailSource {
    std::string picturePath;      // as the page names it: folder + listed name
    std::string existingPicture;  // its on-disk path, "" when it is missing
    std::string thumbnailPath;    // ThumbnailPath(picturePath)
    int height = 70;
    bool oneThread = false;       // made beside others at once: no library's helper threads
};
enum class ThumbnailOutcome {
    Made,
    PictureMissing,
    PictureUnreadable,  // not decodable: an empty thumbnail was written
    NotWritten,         // the thumbnail file could not be written
    AlreadyThere,       // made meanwhile by another request
    ClaimedElsewhere,   // another request is making it
};
// CreateThumbnail's work for a source: the same trace lines (the first one
// only with traceStart) and the same file. What CreateThumbnail would log is
// left in toLog (when given) for the request to log with
// LogUndecodablePicture: the decoder's message when the empty thumbnail of a
// picture other than a JPEG was made, else "".
ThumbnailOutcome CreateThumbnail(const ThumbnailSource& source, bool traceStart = true,
                                 std::string* toLog = nullptr);
// The log line of a picture whose empty thumbnail was made, with the decoder's message.
void LogUndecodablePicture(const std::string& picturePath, const std::string& message);
// The thumbnail file of a picture: t_ + base name + ".jpg" in its folder.
std::string ThumbnailPath(const std::string& picturePath);

// Makes the picture's thumbnail under a held claim. False when another request
// holds the claim (nothing done); true when the thumbnail was made here or
// was already on disk.
bool MakeClaimedThumbnail(const std::string& picturePath, const std::string& thumbnailPath);
// The same for a source looked up by the request; any thread may call it.
// What is to be logged is left in toLog, as CreateThumbnail leaves it.
ThumbnailOutcome MakeClaimedThumbnail(const ThumbnailSource& source, std::string* toLog = nullptr);

// Encodes the bitmap and puts it at path under a temporary name first, so
// that no reader sees a partial file. Failures are ignored; returns success.
bool WriteJpegQuietly(const TBitmap& bitmap, const std::string& path, int quality);
