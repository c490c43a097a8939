// One interface every picture format implements, so that the gallery chooses
// a decoder by asking the formats, not by a chain of extension tests, and a
// format is one file.
//
// A format says which file extensions are its own and whether a file's first
// bytes are its kind; it opens a file (or bytes) as a PictureDecoder. The
// decoder reads the header first: the stored size and the turn that shows the
// stored rows upright (the EXIF orientation), with every limit of the format
// checked before anything the file asks for is allocated. It then decodes,
// handing its rows top down to a RowSink, which says which rows it still
// wants: a decoder that can skip rows (or decode fewer) does, so that a
// point-sampled thumbnail never needs the whole picture in memory where the
// library allows that.
//
// Failures raise Exception (a GIF fault EGIFError, imaging/Gif.h), with the
// format's messages; which of them to catch is the caller's decision.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/Bitmap.h"

namespace imaging {

// What a picture's header says, before any pixel is decoded.
struct PictureHeader {
    // The size of the picture as its rows are stored (before the turn).
    int storedWidth = 0;
    int storedHeight = 0;
    // The EXIF orientation (imaging/Orientation.h) that turns the rows the
    // decoder delivers upright: 1..8, and 1 when they already come upright
    // (HEIF, whose own rotation and mirror the library applies).
    int orientation = 1;

    int UprightWidth() const { return orientation >= 5 ? storedHeight : storedWidth; }
    int UprightHeight() const { return orientation >= 5 ? storedWidth : storedHeight; }
};

// How a delivered row holds its pixels.
enum class RowLayout {
    Rgb,      // 3 bytes a pixel: R, G, B
    Indexed,  // 1 byte a pixel: an index into the palette given to Begin
};

// Takes the rows of one decoded picture. The decoder calls Begin once, then
// Row for rows in increasing order: at least every row the sink wants
// (NextWanted), any others it finds cheaper to give than to skip.
class RowSink {
public:
    virtual ~RowSink() = default;
    // The rows to come: width x height in the stored orientation. That is the
    // stored size for a full decode, or a smaller picture of the same
    // proportions when the decoder took a shortcut the request allowed
    // (a scaled decode, an embedded preview).
    virtual void Begin(int width, int height, RowLayout layout, const std::vector<TColor>& palette) = 0;
    // The first row at or after y that the sink still needs; height when it
    // needs none any more (the decoder may then stop).
    virtual int NextWanted(int y) const = 0;
    // Row y: width pixels in the layout given to Begin.
    virtual void Row(int y, const uint8_t* pixels) = 0;
};

// What the consumer will make of the picture.
struct DecodeRequest {
    // The upright size of the result, when the consumer shrinks the picture
    // (a thumbnail, the slide): a decoder may then deliver a smaller picture
    // of the same proportions that is at least this size. 0 x 0: the full
    // picture, exactly as stored.
    int targetWidth = 0;
    int targetHeight = 0;
};

// One picture being read. Not shared between threads.
class PictureDecoder {
public:
    virtual ~PictureDecoder() = default;
    // Reads the header and checks the format's limits; at most once (later
    // calls return the same).
    virtual PictureHeader ReadHeader() = 0;
    // Decodes into the sink (reading the header first if needed).
    virtual void Decode(const DecodeRequest& request, RowSink& sink) = 0;
};

// One picture format.
class PictureFormat {
public:
    virtual ~PictureFormat() = default;
    // A short name for traces and tests ("JPEG", "PNG", ...).
    virtual const char* Name() const = 0;
    // The extensions the format takes, upper case, without the dot.
    virtual const std::vector<std::string>& Extensions() const = 0;
    // Whether the first bytes of a file (up to RecogniseBytes of them) are
    // this format's.
    virtual bool Recognises(const void* head, size_t size) const = 0;
    // A decoder of the file; the file is opened here ("Cannot open file %s").
    virtual std::unique_ptr<PictureDecoder> Open(const std::string& path) const = 0;
    // A decoder of bytes in memory, which must outlive it.
    virtual std::unique_ptr<PictureDecoder> OpenBytes(const void* data, size_t size) const = 0;
};

// The first bytes a format needs to recognise its files.
constexpr size_t RecogniseBytes = 32;

}  // namespace imaging
