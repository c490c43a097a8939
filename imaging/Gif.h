// GIF pictures (GIF87a and GIF89a): reading a file into its logical screen,
// colour tables, extensions and frames, and turning the first frame into a
// bitmap. Writing GIF files is not needed by anything here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/Bitmap.h"
#include "imaging/Limits.h"
#include "platform/Exception.h"

class Stream;

// A fault in a GIF file; the reading stops and the image is left empty.
class EGIFError : public Exception {
public:
    using Exception::Exception;
};

// Warnings carry severity 1 and the message; without a handler they are dropped.
using TGIFWarningEvent = std::function<void(int severity, const std::string& message)>;
// Reading progress in percent of the bytes given.
using TGIFProgressEvent = std::function<void(int percent)>;

struct TGIFColor {
    uint8_t Red = 0;
    uint8_t Green = 0;
    uint8_t Blue = 0;
    bool operator==(const TGIFColor&) const = default;
};
using TGIFColorMap = std::vector<TGIFColor>;

// The 7 bytes after the signature, as stored.
struct TGIFScreenDescriptor {
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t Flags = 0;  // bit 7: global table present, bits 0-2: its size
    uint8_t BackgroundColorIndex = 0;
    uint8_t AspectRatio = 0;
};

// The 10 bytes of an image descriptor, as stored.
struct TGIFImageDescriptor {
    uint8_t Separator = 0;  // ',' in a well-formed file; not checked
    uint16_t Left = 0;
    uint16_t Top = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t Flags = 0;  // bit 7: local table, bit 6: interlaced, bits 0-2: table size
};

// Bytes being read: a view of memory the caller owns, and a read position.
struct TGIFSource {
    TGIFSource() = default;
    TGIFSource(const void* data, size_t size) : Data(static_cast<const uint8_t*>(data)), Size(size) {}
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    size_t Position = 0;

    size_t Remaining() const { return Size - Position; }
    bool AtEnd() const { return Position >= Size; }
    int Peek() const { return AtEnd() ? -1 : Data[Position]; }
};

// Extension labels (the byte after the '!' introducer).
constexpr uint8_t kGifExtensionIntroducer = 0x21;  // '!'
constexpr uint8_t kGifImageSeparator = 0x2C;       // ','
constexpr uint8_t kGifTrailer = 0x3B;              // ';'
constexpr uint8_t kGifLabelGraphicControl = 0xF9;
constexpr uint8_t kGifLabelComment = 0xFE;
constexpr uint8_t kGifLabelPlainText = 0x01;
constexpr uint8_t kGifLabelApplication = 0xFF;

class TGIFExtension {
public:
    virtual ~TGIFExtension() = default;
    virtual uint8_t Label() const = 0;
    // Reads the whole record from its '!' on. Faults: "Invalid extension
    // introducer" when it does not start with '!', "Internal error: Extension
    // Instance does not match Extension Label" when the label is not this
    // class's own.
    void LoadFromSource(TGIFSource& source, const TGIFWarningEvent& warning);

protected:
    virtual void LoadBody(TGIFSource& source, const TGIFWarningEvent& warning) = 0;
};

class TGIFGraphicControlExtension : public TGIFExtension {
public:
    uint8_t Label() const override { return kGifLabelGraphicControl; }
    bool HasTransparency() const { return (Flags & 1) != 0; }
    // The fixed record after the label, as stored.
    uint8_t BlockSize = 0;
    uint8_t Flags = 0;
    uint16_t Delay = 0;  // hundredths of a second
    uint8_t TransparentColorIndex = 0;
    uint8_t Terminator = 0;

protected:
    void LoadBody(TGIFSource& source, const TGIFWarningEvent& warning) override;
};

class TGIFCommentExtension : public TGIFExtension {
public:
    uint8_t Label() const override { return kGifLabelComment; }
    std::string Text;  // the sub-blocks joined

protected:
    void LoadBody(TGIFSource& source, const TGIFWarningEvent& warning) override;
};

class TGIFTextExtension : public TGIFExtension {
public:
    uint8_t Label() const override { return kGifLabelPlainText; }
    // The 13-byte record: its block size, then the text grid and cell sizes and colours.
    uint8_t BlockSize = 0;
    uint16_t Left = 0;
    uint16_t Top = 0;
    uint16_t GridWidth = 0;
    uint16_t GridHeight = 0;
    uint8_t CellWidth = 0;
    uint8_t CellHeight = 0;
    uint8_t ForegroundColorIndex = 0;
    uint8_t BackgroundColorIndex = 0;
    std::string Text;

protected:
    void LoadBody(TGIFSource& source, const TGIFWarningEvent& warning) override;
};

// Any application extension: its identifier and its data sub-blocks, kept raw.
class TGIFApplicationExtension : public TGIFExtension {
public:
    uint8_t Label() const override { return kGifLabelApplication; }
    uint8_t BlockSize = 0;       // of the identifier block: 11, or 10 from some old writers
    std::string Identifier;      // 8 bytes
    std::string Authentication;  // the rest of the identifier block (3 bytes, or 2)
    // The data sub-blocks as stored: each is its size byte and its bytes; the
    // zero terminator is not included.
    std::string RawBlocks;
    std::vector<std::string> Blocks() const;

protected:
    void LoadBody(TGIFSource& source, const TGIFWarningEvent& warning) override;
    virtual void LoadBlocks(TGIFSource& source);
};

// "NETSCAPE2.0" / "ANIMEXTS1.0": sub-block 1 holds the loop count, 2 the buffer size.
class TGIFLoopExtension : public TGIFApplicationExtension {
public:
    bool HasLoops = false;
    uint16_t Loops = 0;  // 0: forever
    bool HasBufferSize = false;
    uint32_t BufferSize = 0;

protected:
    void LoadBlocks(TGIFSource& source) override;
};

// Chooses the extension class for the record at the source's position (its
// '!' and label); the application extension looks at the identifier too.
// Fault "Unknown extension type" for a label no class takes.
std::unique_ptr<TGIFExtension> CreateGIFExtension(const TGIFSource& source);

// One frame: the extensions read before it, its descriptor and local colour
// table, and its pixels.
class TGIFSubImage {
public:
    // False for a frame made only of extensions (one that ran into the trailer).
    bool HasDescriptor = false;
    TGIFImageDescriptor Descriptor;
    std::vector<std::unique_ptr<TGIFExtension>> Extensions;
    TGIFColorMap ColorMap;  // the local table; empty when there is none
    bool Transparent = false;
    uint8_t TransparentColorIndex = 0;

    int Left() const { return Descriptor.Left; }
    int Top() const { return Descriptor.Top; }
    int Width() const { return Descriptor.Width; }
    int Height() const { return Descriptor.Height; }
    bool Interlaced() const { return (Descriptor.Flags & 0x40) != 0; }
    bool HasLocalColorMap() const { return (Descriptor.Flags & 0x80) != 0; }

    // Only the first frame keeps its pixels; later frames are decoded and
    // checked, not stored.
    bool HasPixels() const { return hasPixels_; }
    // The frame's pixels as an 8-bit bitmap of the frame's size: its palette
    // is the frame's active colour table, its rows the palette index rows.
    // Empty for a frame without pixels.
    const TBitmap& Bitmap() const { return bitmap_; }
    // Width() * Height() palette indices, rows top to bottom; nullptr for a
    // frame without pixels or without area.
    const uint8_t* Pixels() const { return bitmap_.Empty() ? nullptr : bitmap_.ScanLine(0); }
    // The palette index at (x, y) of a frame with pixels, inside the frame.
    uint8_t Pixel(int x, int y) const { return bitmap_.ScanLine(y)[x]; }

    // One bit per pixel, set where the pixel is the transparent index, the
    // leftmost pixel in the high bit, rows padded to 16 bits. Empty when the
    // frame is not transparent, has no pixels, or no bit would be set.
    std::vector<uint8_t> TransparencyMask() const;
    int MaskRowBytes() const { return (Width() + 15) / 16 * 2; }

private:
    friend class TGIFReader;
    bool hasPixels_ = false;
    TBitmap bitmap_;
};

class TGIFImage {
public:
    TGIFImage();
    ~TGIFImage();
    TGIFImage(const TGIFImage&) = delete;
    TGIFImage& operator=(const TGIFImage&) = delete;

    TGIFWarningEvent OnWarning;
    TGIFProgressEvent OnProgress;
    // The most pixels the logical screen and the first frame may have. Anything
    // larger is refused before a byte of it is allocated. It may be lowered for
    // one image (the fuzz harness does); above imaging::MaxPixels it has no
    // effect, since that limit holds for every bitmap.
    uint64_t MaxPixels = imaging::MaxPixels;

    // Reads from the stream's position to its end; the stream is left just
    // after the last byte that was read.
    void LoadFromStream(Stream& stream);
    // Raises "Cannot open file %s" when the file cannot be opened.
    void LoadFromFile(const std::string& path);
    void LoadFromMemory(const void* data, size_t size);
    void Clear();

    const TGIFScreenDescriptor& Header() const { return header_; }
    int Width() const { return header_.Width; }
    int Height() const { return header_.Height; }
    const TGIFColorMap& GlobalColorMap() const { return globalColorMap_; }
    bool Empty() const { return frameCount_ == 0; }
    // Every frame in the file.
    int FrameCount() const { return frameCount_; }
    // The frames kept: all of them, up to a bound for files with very many.
    const std::vector<TGIFSubImage>& Frames() const { return frames_; }
    // The frame's local table when it has one, else the global table.
    const TGIFColorMap& ActiveColorMap(const TGIFSubImage& frame) const;

    // The first frame on the logical screen: the frame's own bitmap when it
    // covers the screen exactly, otherwise a screen-sized bitmap (palette index
    // 0 where the frame does not reach) with the frame drawn opaque at its
    // offset. An image without frames gives an empty bitmap.
    void AssignTo(TBitmap& bitmap) const;

private:
    friend class TGIFReader;
    TGIFScreenDescriptor header_;
    TGIFColorMap globalColorMap_;
    std::vector<TGIFSubImage> frames_;
    int frameCount_ = 0;
};

// The bitmap of the picture's first frame; the same as image.AssignTo(bitmap).
void AssignGifToBitmap(const TGIFImage& image, TBitmap& bitmap);

// Reads a GIF file and gives the bitmap of its first frame. Raises EGIFError
// for a fault in the file, Exception "Cannot open file %s" when it cannot be
// opened; warnings are dropped.
void LoadGifFile(const std::string& path, TBitmap& out);
