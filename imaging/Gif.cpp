#include "imaging/Gif.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <cstring>

#include "imaging/Bitmap.h"
#include "imaging/GifLzw.h"
#include "imaging/Limits.h"
#include "platform/Stream.h"

namespace {

constexpr int kWarning = 1;

[[noreturn]] void PrematureEnd() { throw EGIFError("Premature end of data"); }

// A fixed-size record: all of it, or the fault.
const uint8_t* ReadRecord(TGIFSource& source, size_t size) {
    if (source.Remaining() < size) PrematureEnd();
    const uint8_t* record = source.Data + source.Position;
    source.Position += size;
    return record;
}

uint8_t ReadByte(TGIFSource& source) { return *ReadRecord(source, 1); }

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The next data sub-block, never empty: false at the zero terminator
// (consumed) or at the end of the bytes. A sub-block announced longer than
// what is left gives what is left, and says so in shortened.
bool NextSubBlock(TGIFSource& source, const uint8_t*& data, size_t& size, bool& shortened) {
    shortened = false;
    if (source.AtEnd()) return false;
    size_t announced = source.Data[source.Position++];
    if (announced == 0) return false;
    size = std::min(announced, source.Remaining());
    shortened = size < announced;
    data = source.Data + source.Position;
    source.Position += size;
    return size > 0;
}

void ReadColorMap(TGIFSource& source, uint8_t flags, TGIFColorMap& map) {
    size_t entries = 2u << (flags & 7);
    const uint8_t* p = ReadRecord(source, entries * 3);
    map.resize(entries);
    for (size_t i = 0; i < entries; ++i) map[i] = TGIFColor{p[3 * i], p[3 * i + 1], p[3 * i + 2]};
}

std::vector<TColor> ToPalette(const TGIFColorMap& map) {
    std::vector<TColor> palette;
    palette.reserve(map.size());
    for (const TGIFColor& c : map) palette.push_back(RGBColor(c.Red, c.Green, c.Blue));
    return palette;
}

bool StartsWithGif(const uint8_t* p, size_t available) {
    if (available < 3) return false;
    auto upper = [](uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; };
    return upper(p[0]) == 'G' && upper(p[1]) == 'I' && upper(p[2]) == 'F';
}

}  // namespace

// ---------------------------------------------------------------------------
// Extensions

void TGIFExtension::LoadFromSource(TGIFSource& source, const TGIFWarningEvent& warning) {
    if (source.AtEnd() || source.Data[source.Position] != kGifExtensionIntroducer)
        throw EGIFError("Invalid extension introducer");
    ++source.Position;
    if (ReadByte(source) != Label())
        throw EGIFError("Internal error: Extension Instance does not match Extension Label");
    LoadBody(source, warning);
}

void TGIFGraphicControlExtension::LoadBody(TGIFSource& source, const TGIFWarningEvent& warning) {
    // Block size, flags, delay (2), transparent index, terminator.
    uint8_t record[6] = {};
    size_t got = std::min<size_t>(sizeof record, source.Remaining());
    std::memcpy(record, source.Data + source.Position, got);
    source.Position += got;
    if (got < sizeof record && warning) warning(kWarning, "Premature end of data");
    BlockSize = record[0];
    Flags = record[1];
    Delay = Le16(record + 2);
    TransparentColorIndex = record[4];
    Terminator = record[5];
}

void TGIFCommentExtension::LoadBody(TGIFSource& source, const TGIFWarningEvent&) {
    const uint8_t* data;
    size_t size;
    bool shortened;
    while (NextSubBlock(source, data, size, shortened)) Text.append(reinterpret_cast<const char*>(data), size);
}

void TGIFTextExtension::LoadBody(TGIFSource& source, const TGIFWarningEvent&) {
    const uint8_t* p = ReadRecord(source, 13);
    BlockSize = p[0];
    Left = Le16(p + 1);
    Top = Le16(p + 3);
    GridWidth = Le16(p + 5);
    GridHeight = Le16(p + 7);
    CellWidth = p[9];
    CellHeight = p[10];
    ForegroundColorIndex = p[11];
    BackgroundColorIndex = p[12];
    const uint8_t* data;
    size_t size;
    bool shortened;
    while (NextSubBlock(source, data, size, shortened)) Text.append(reinterpret_cast<const char*>(data), size);
}

void TGIFApplicationExtension::LoadBody(TGIFSource& source, const TGIFWarningEvent&) {
    BlockSize = ReadByte(source);
    if (BlockSize < 10) throw EGIFError("Unsupported Application Extension block size");
    const uint8_t* p = ReadRecord(source, BlockSize);
    Identifier.assign(reinterpret_cast<const char*>(p), 8);
    Authentication.assign(reinterpret_cast<const char*>(p + 8), BlockSize - 8u);
    LoadBlocks(source);
}

void TGIFApplicationExtension::LoadBlocks(TGIFSource& source) {
    const uint8_t* data;
    size_t size;
    bool shortened;
    while (NextSubBlock(source, data, size, shortened)) {
        RawBlocks.push_back(static_cast<char>(size));
        RawBlocks.append(reinterpret_cast<const char*>(data), size);
    }
}

std::vector<std::string> TGIFApplicationExtension::Blocks() const {
    std::vector<std::string> blocks;
    for (size_t i = 0; i < RawBlocks.size();) {
        size_t size = static_cast<uint8_t>(RawBlocks[i]);
        blocks.push_back(RawBlocks.substr(i + 1, size));
        i += 1 + size;
    }
    return blocks;
}

void TGIFLoopExtension::LoadBlocks(TGIFSource& source) {
    const uint8_t* data;
    size_t size;
    bool shortened;
    while (NextSubBlock(source, data, size, shortened)) {
        if (data[0] == 1) {
            if (size < 3) throw EGIFError("Invalid GIF data");
            HasLoops = true;
            Loops = Le16(data + 1);
        } else if (data[0] == 2) {
            if (size < 5) throw EGIFError("Invalid GIF data");
            HasBufferSize = true;
            BufferSize = Le32(data + 1);
        }
    }
}

std::unique_ptr<TGIFExtension> CreateGIFExtension(const TGIFSource& source) {
    if (source.Remaining() < 2) PrematureEnd();
    const uint8_t* p = source.Data + source.Position;
    switch (p[1]) {
    case kGifLabelGraphicControl:
        return std::make_unique<TGIFGraphicControlExtension>();
    case kGifLabelComment:
        return std::make_unique<TGIFCommentExtension>();
    case kGifLabelPlainText:
        return std::make_unique<TGIFTextExtension>();
    case kGifLabelApplication:
        // '!', label, block size 11, then the 8-byte name and 3-byte code.
        if (source.Remaining() >= 14 && p[2] == 11 &&
            (std::memcmp(p + 3, "NETSCAPE2.0", 11) == 0 || std::memcmp(p + 3, "ANIMEXTS1.0", 11) == 0))
            return std::make_unique<TGIFLoopExtension>();
        return std::make_unique<TGIFApplicationExtension>();
    default:
        throw EGIFError("Unknown extension type");
    }
}

// ---------------------------------------------------------------------------
// Frames

std::vector<uint8_t> TGIFSubImage::TransparencyMask() const {
    std::vector<uint8_t> mask;
    const uint8_t* pixels = Pixels();
    if (!Transparent || !pixels) return mask;
    const int w = Width(), h = Height(), rowBytes = MaskRowBytes();
    mask.assign(static_cast<size_t>(rowBytes) * h, 0);
    bool any = false;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = pixels + static_cast<size_t>(y) * w;
        uint8_t* bits = mask.data() + static_cast<size_t>(y) * rowBytes;
        for (int x = 0; x < w; ++x) {
            if (row[x] == TransparentColorIndex) {
                bits[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
                any = true;
            }
        }
    }
    if (!any) mask.clear();
    return mask;
}

// ---------------------------------------------------------------------------
// Reading a file

class TGIFReader {
public:
    TGIFReader(TGIFImage& image, TGIFSource& source) : image_(image), source_(source) {}
    void Read();

private:
    void Warn(const char* message) {
        if (image_.OnWarning) image_.OnWarning(kWarning, message);
    }
    void ReadSignature();
    void ReadFrame(TGIFSubImage& frame, bool keepPixels);
    void ReadPixels(TGIFSubImage& frame, bool keepPixels);
    void CheckSize(uint64_t width, uint64_t height) const;

    TGIFImage& image_;
    TGIFSource& source_;
    size_t extensionsKept_ = 0;
};

void TGIFReader::CheckSize(uint64_t width, uint64_t height) const {
    uint64_t limit = std::min<uint64_t>(image_.MaxPixels, imaging::MaxPixels);
    if (width * height > limit) throw EGIFError(BitmapTooLargeMessage);
}

void TGIFReader::ReadSignature() {
    const size_t start = source_.Position;
    size_t available = std::min<size_t>(6, source_.Remaining());
    if (StartsWithGif(source_.Data + start, available)) {
        source_.Position = start + available;
        return;
    }
    // Some files carry 4 bytes before the signature.
    size_t retry = std::min(start + 4, source_.Size);
    available = std::min<size_t>(6, source_.Size - retry);
    if (!StartsWithGif(source_.Data + retry, available)) throw EGIFError("Invalid GIF signature");
    source_.Position = retry + available;
}

void TGIFReader::Read() {
    ReadSignature();

    const uint8_t* p = ReadRecord(source_, 7);
    TGIFScreenDescriptor& header = image_.header_;
    header.Width = Le16(p);
    header.Height = Le16(p + 2);
    header.Flags = p[4];
    header.BackgroundColorIndex = p[5];
    header.AspectRatio = p[6];
    // The screen becomes the bitmap whatever the first frame is: refuse it now.
    CheckSize(header.Width, header.Height);
    if (header.Flags & 0x80)
        ReadColorMap(source_, header.Flags, image_.globalColorMap_);
    else
        image_.globalColorMap_.clear();

    for (;;) {
        while (source_.Peek() == 0) ++source_.Position;
        int b = source_.Peek();
        if (b < 0 || b == kGifTrailer) break;
        if (b != kGifExtensionIntroducer && b != kGifImageSeparator) {
            Warn("Unknown GIF block type");
            break;
        }
        const bool first = image_.frameCount_ == 0;
        if (image_.frames_.size() < imaging::GifMaxKeptFrames) {
            image_.frames_.emplace_back();
            ReadFrame(image_.frames_.back(), first);
        } else {
            TGIFSubImage discarded;
            ReadFrame(discarded, false);
        }
        ++image_.frameCount_;
        if (image_.OnProgress && source_.Size > 0)
            image_.OnProgress(static_cast<int>(static_cast<uint64_t>(source_.Position) * 100 / source_.Size));
    }

    if (!source_.AtEnd() && source_.Data[source_.Position++] != kGifTrailer) Warn("Invalid Image trailer");
}

void TGIFReader::ReadFrame(TGIFSubImage& frame, bool keepPixels) {
    for (;;) {
        int b = source_.Peek();
        if (b == kGifExtensionIntroducer) {
            std::unique_ptr<TGIFExtension> extension = CreateGIFExtension(source_);
            extension->LoadFromSource(source_, image_.OnWarning);
            if (auto* control = dynamic_cast<TGIFGraphicControlExtension*>(extension.get());
                control && control->HasTransparency()) {
                frame.Transparent = true;
                frame.TransparentColorIndex = control->TransparentColorIndex;
            }
            // Extensions cost far more memory than the few bytes they take in a
            // file; past a bound they are read and checked but not kept.
            if (extensionsKept_ < imaging::GifMaxKeptExtensions) {
                frame.Extensions.push_back(std::move(extension));
                ++extensionsKept_;
            }
            continue;
        }
        if (b >= 0 && b != kGifImageSeparator && b != kGifTrailer) Warn("Invalid extension introducer");
        break;
    }

    // Extensions that run into the trailer (or the end) make a frame without image.
    int b = source_.Peek();
    if (b < 0 || b == kGifTrailer || b == 0) return;

    const uint8_t* p = ReadRecord(source_, 10);
    TGIFImageDescriptor& d = frame.Descriptor;
    d.Separator = p[0];
    d.Left = Le16(p + 1);
    d.Top = Le16(p + 3);
    d.Width = Le16(p + 5);
    d.Height = Le16(p + 7);
    d.Flags = p[9];
    frame.HasDescriptor = true;
    if (d.Width == 0 || d.Height == 0) {
        d.Width = image_.header_.Width;
        d.Height = image_.header_.Height;
        Warn("Image exceeds Logical Screen size");
    }
    if (keepPixels) CheckSize(d.Width, d.Height);
    if (d.Flags & 0x80) ReadColorMap(source_, d.Flags, frame.ColorMap);
    ReadPixels(frame, keepPixels);
}

namespace {

// The pixel data's sub-blocks as one run of code bytes, read as the decoder
// asks for them. A sub-block announced longer than the bytes left gives what
// is left, with a warning.
class SubBlockInput : public gif_lzw::CodeInput {
public:
    SubBlockInput(TGIFSource& source, const std::function<void()>& shortened)
        : source_(source), shortened_(shortened) {}

    size_t Read(uint8_t* dst, size_t max) override {
        size_t total = 0;
        while (total < max) {
            if (left_ == 0 && !NextBlock()) break;
            size_t n = std::min(left_, max - total);
            std::memcpy(dst + total, source_.Data + source_.Position, n);
            source_.Position += n;
            left_ -= n;
            total += n;
        }
        return total;
    }
    // Passes over what the decoder did not need, up to the terminator.
    void SkipRest() {
        do {
            source_.Position += left_;
            left_ = 0;
        } while (NextBlock());
    }

private:
    bool NextBlock() {
        if (done_ || source_.AtEnd()) {
            done_ = true;
            return false;
        }
        size_t announced = source_.Data[source_.Position++];
        left_ = std::min(announced, source_.Remaining());
        if (left_ < announced) shortened_();
        done_ = left_ == 0;  // the terminator, or nothing left after a size byte
        return !done_;
    }

    TGIFSource& source_;
    const std::function<void()>& shortened_;
    size_t left_ = 0;
    bool done_ = false;
};

}  // namespace

// Rows of an interlaced frame arrive in four passes: every 8th row from 0,
// every 8th from 4, every 4th from 2, every 2nd from 1.
static int InterlacedRow(int arrival, int height) {
    const int pass1 = (height + 7) / 8;
    const int pass2 = (height + 3) / 8;
    const int pass3 = (height + 1) / 4;
    if (arrival < pass1) return arrival * 8;
    arrival -= pass1;
    if (arrival < pass2) return arrival * 8 + 4;
    arrival -= pass2;
    if (arrival < pass3) return arrival * 4 + 2;
    arrival -= pass3;
    return arrival * 2 + 1;
}

// Moves rows from arrival order to screen order in place, one cycle of the
// permutation at a time.
static void Deinterlace(uint8_t* pixels, int width, int height) {
    const size_t w = static_cast<size_t>(width);
    std::vector<bool> placed(static_cast<size_t>(height), false);
    std::vector<uint8_t> carried(w), displaced(w);
    for (int start = 0; start < height; ++start) {
        if (placed[start]) continue;
        int arrival = start;
        std::memcpy(carried.data(), pixels + start * w, w);
        for (;;) {
            placed[arrival] = true;
            int target = InterlacedRow(arrival, height);
            if (target == start) {
                std::memcpy(pixels + target * w, carried.data(), w);
                break;
            }
            std::memcpy(displaced.data(), pixels + target * w, w);
            std::memcpy(pixels + target * w, carried.data(), w);
            carried.swap(displaced);
            arrival = target;
        }
    }
}

void TGIFReader::ReadPixels(TGIFSubImage& frame, bool keepPixels) {
    const int w = frame.Width(), h = frame.Height();
    const uint64_t count = static_cast<uint64_t>(w) * h;
    const uint8_t fill = frame.Transparent ? frame.TransparentColorIndex : 0;
    const bool hasData = !source_.AtEnd();
    const int minCodeSize = hasData ? source_.Data[source_.Position++] : 0;
    if (minCodeSize > imaging::GifMaxMinCodeSize) throw EGIFError("Invalid GIF data");

    uint8_t* pixels = nullptr;
    if (keepPixels) {
        // Checked against the pixel limit by the caller. The bitmap is made
        // in the frame's palette and decoded into directly.
        TBitmap& bitmap = frame.bitmap_;
        bitmap.SetPixelFormat(pf8bit);
        bitmap.SetPalette(ToPalette(image_.ActiveColorMap(frame)));
        bitmap.SetSize(w, h);
        frame.hasPixels_ = true;
        if (count > 0) pixels = bitmap.MutableScanLine(0);
    }

    uint64_t decoded = 0;
    if (hasData) {
        const std::function<void()> shortened = [this] { Warn("Premature end of data"); };
        SubBlockInput input(source_, shortened);
        gif_lzw::Result result = pixels ? gif_lzw::Decode(minCodeSize, input, pixels, count)
                                        : gif_lzw::Count(minCodeSize, input, count);
        decoded = result.pixels;
        if (result.underrun) Warn("Decoder bit buffer under-run");
        input.SkipRest();
    } else {
        Warn("Decoder bit buffer under-run");
    }

    if (!pixels) return;
    // What the data did not reach keeps the frame's fill.
    std::memset(pixels + decoded, fill, static_cast<size_t>(count - decoded));
    if (frame.Interlaced() && h > 1) Deinterlace(pixels, w, h);
}

// ---------------------------------------------------------------------------
// The image

TGIFImage::TGIFImage() = default;
TGIFImage::~TGIFImage() = default;

void TGIFImage::Clear() {
    header_ = TGIFScreenDescriptor{};
    globalColorMap_.clear();
    frames_.clear();
    frameCount_ = 0;
}

const TGIFColorMap& TGIFImage::ActiveColorMap(const TGIFSubImage& frame) const {
    return frame.HasLocalColorMap() ? frame.ColorMap : globalColorMap_;
}

namespace {
// Reads the picture from the source's position; a fault leaves it empty.
void ReadPicture(TGIFImage& image, TGIFSource& source) {
    image.Clear();
    try {
        TGIFReader(image, source).Read();
    } catch (...) {
        image.Clear();
        throw;
    }
}
}  // namespace

void TGIFImage::LoadFromMemory(const void* data, size_t size) {
    TGIFSource source(data, size);
    ReadPicture(*this, source);
}

void TGIFImage::LoadFromStream(Stream& stream) {
    const int64_t start = stream.Position();
    std::string bytes;
    int64_t size = stream.Size();
    if (start >= 0 && size > start) bytes.reserve(static_cast<size_t>(size - start));
    char buffer[65536];
    for (;;) {
        int64_t n = stream.Read(buffer, sizeof buffer);
        if (n < 0) throw Exception("Stream read error");
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    TGIFSource source(bytes.data(), bytes.size());
    ReadPicture(*this, source);
    if (start >= 0) stream.Seek(start + static_cast<int64_t>(source.Position), 0);
}

void TGIFImage::LoadFromFile(const std::string& path) {
    std::string bytes = ReadWholeFile(path);
    LoadFromMemory(bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// The first frame as a bitmap

namespace {

TBitmap NewIndexedBitmap(const std::vector<TColor>& palette, int width, int height) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(pf8bit);
    bitmap.SetPalette(palette);
    bitmap.SetSize(width, height);  // zero-filled: palette index 0
    return bitmap;
}

}  // namespace

void TGIFImage::AssignTo(TBitmap& bitmap) const {
    if (frames_.empty()) {
        bitmap = TBitmap();
        return;
    }
    const TGIFSubImage& frame = frames_.front();
    const int w = frame.HasDescriptor ? frame.Width() : 0;
    const int h = frame.HasDescriptor ? frame.Height() : 0;
    // The frame's own bitmap, shared until either is changed.
    if (w == Width() && h == Height() && frame.HasPixels()) {
        bitmap = frame.Bitmap();
        return;
    }

    // A screen-sized bitmap in the image's palette, the frame drawn opaque at
    // its offset and clipped to the screen. Where the frame's own table differs
    // from that palette, each index is drawn as its colour's nearest entry.
    const std::vector<TColor> framePalette = ToPalette(ActiveColorMap(frame));
    const std::vector<TColor> screenPalette = globalColorMap_.empty() ? framePalette : ToPalette(globalColorMap_);
    TBitmap result = NewIndexedBitmap(screenPalette, Width(), Height());
    const uint8_t* pixels = frame.Pixels();
    const int left = frame.Left(), top = frame.Top();
    const int x0 = std::max(0, left), x1 = std::min(Width(), left + w);
    const int y0 = std::max(0, top), y1 = std::min(Height(), top + h);
    if (pixels && x0 < x1 && y0 < y1) {
        std::array<uint8_t, 256> translate;
        if (framePalette == screenPalette || screenPalette.empty()) {
            std::iota(translate.begin(), translate.end(), uint8_t{0});
        } else {
            for (size_t i = 0; i < translate.size(); ++i) {
                TColor c = i < framePalette.size() ? framePalette[i] : 0;
                translate[i] = static_cast<uint8_t>(NearestPaletteIndex(screenPalette, c));
            }
        }
        for (int y = y0; y < y1; ++y) {
            const uint8_t* src = pixels + static_cast<size_t>(y - top) * w + (x0 - left);
            uint8_t* dst = result.MutableScanLine(y);
            for (int x = x0; x < x1; ++x) dst[x] = translate[*src++];
        }
    }
    bitmap = std::move(result);
}

void AssignGifToBitmap(const TGIFImage& image, TBitmap& bitmap) { image.AssignTo(bitmap); }

void LoadGifFile(const std::string& path, TBitmap& out) {
    TGIFImage image;
    image.LoadFromFile(path);
    image.AssignTo(out);
}
