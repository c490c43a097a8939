#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <png.h>

#include "imaging/FormatSupport.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Limits.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

// libpng reports errors through a function that must not return; ours jumps
// back to the setjmp of the call in progress. The functions that call setjmp
// hold only plain data and the library is never entered from a frame that
// owns a C++ object, so the jump skips no destructor; the callers raise the
// error as an Exception.

namespace imaging {

namespace {

struct PngState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    // The bytes come from a stream, or from memory.
    Stream* stream = nullptr;
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
    char message[160] = "";

    ~PngState() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

void OnError(png_structp png, png_const_charp message) {
    auto* s = static_cast<PngState*>(png_get_error_ptr(png));
    std::snprintf(s->message, sizeof s->message, "%s", message ? message : "");
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Stream calls are C++ and may throw; nothing may unwind through the library.
size_t ReadNoThrow(PngState* s, png_bytep out, size_t count) noexcept {
    if (!s->stream) {
        size_t n = std::min(count, s->size - s->position);
        if (n) std::memcpy(out, s->data + s->position, n);
        s->position += n;
        return n;
    }
    size_t done = 0;
    try {
        while (done < count) {
            int64_t n = s->stream->Read(out + done, static_cast<int64_t>(count - done));
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    } catch (...) {
    }
    return done;
}

void OnRead(png_structp png, png_bytep out, size_t count) {
    auto* s = static_cast<PngState*>(png_get_io_ptr(png));
    if (ReadNoThrow(s, out, count) < count) png_error(png, "Read Error");
}

bool CallReadInfo(PngState* s) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    png_read_info(s->png, s->info);
    return true;
}

// Every picture becomes 8-bit RGB or RGBA: palettes and small grey levels
// expanded, a tRNS chunk made alpha, 16 bits scaled (rounded) to 8, grey
// made RGB. A picture whose gAMA chunk says its levels are not the
// display's (sRGB) is corrected to it, as a browser shows it; one without is
// taken as sRGB already. Interlaced pictures are read pass by pass, not
// combined here.
bool CallSetTransforms(PngState* s) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    png_fixed_point fileGamma = 0;
    if (png_get_gAMA_fixed(s->png, s->info, &fileGamma) != 0 && fileGamma > 0)
        png_set_gamma_fixed(s->png, PNG_DEFAULT_sRGB, fileGamma);
    png_set_expand(s->png);
    png_set_scale_16(s->png);
    png_set_gray_to_rgb(s->png);
    png_read_update_info(s->png, s->info);
    return true;
}

bool CallReadRow(PngState* s, png_bytep row) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    png_read_row(s->png, row, nullptr);
    return true;
}

class PngDecoder : public PictureDecoder {
public:
    explicit PngDecoder(const std::string& path) : file_(std::make_unique<FileStream>(path, platform::OpenMode::Read)) {
        state_.stream = file_.get();
        Create();
    }
    PngDecoder(const void* data, size_t size) {
        state_.data = static_cast<const uint8_t*>(data);
        state_.size = size;
        Create();
    }

    PictureHeader ReadHeader() override {
        if (headerRead_) return header_;
        if (!CallReadInfo(&state_)) Fail();
        const png_uint_32 width = png_get_image_width(state_.png, state_.info);
        const png_uint_32 height = png_get_image_height(state_.png, state_.info);
        CheckPictureCost(width, height, 0);
        header_.storedWidth = static_cast<int>(width);
        header_.storedHeight = static_cast<int>(height);
        png_unknown_chunkp chunks = nullptr;
        const int count = png_get_unknown_chunks(state_.png, state_.info, &chunks);
        for (int i = 0; i < count; ++i)
            if (std::memcmp(chunks[i].name, "eXIf", 4) == 0 && chunks[i].data) {
                header_.orientation = ExifBlockOrientation(chunks[i].data, chunks[i].size);
                break;
            }
        headerRead_ = true;
        return header_;
    }

    void Decode(const DecodeRequest&, RowSink& sink) override {
        ReadHeader();
        DecodeClock clock;
        const bool interlaced = png_get_interlace_type(state_.png, state_.info) != PNG_INTERLACE_NONE;
        if (!CallSetTransforms(&state_)) Fail();
        const int width = header_.storedWidth, height = header_.storedHeight;
        const int channels = png_get_channels(state_.png, state_.info);
        if (channels != 3 && channels != 4) throw Exception("PNG error: unexpected pixel layout");
        std::vector<uint8_t> row(std::max<size_t>(png_get_rowbytes(state_.png, state_.info),
                                                  static_cast<size_t>(width) * channels));
        std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3);
        sink.Begin(width, height, RowLayout::Rgb, {});
        if (interlaced) {
            DecodeInterlaced(sink, clock, row, channels);
            return;
        }
        for (int y = 0; y < height; ++y) {
            const int wanted = sink.NextWanted(y);
            if (wanted >= height) break;
            for (; y < wanted; ++y) ReadRow(row, clock);  // rows before it: decoded and dropped
            ReadRow(row, clock);
            sink.Row(y, ToRgb(row.data(), rgb.data(), width, channels));
        }
    }

private:
    void Create() {
        state_.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state_, OnError, OnWarning);
        if (!state_.png) throw Exception("PNG error: out of memory");
        state_.info = png_create_info_struct(state_.png);
        if (!state_.info) throw Exception("PNG error: out of memory");
        png_set_read_fn(state_.png, &state_, OnRead);
        png_set_chunk_cache_max(state_.png, PngMaxCachedChunks);
        png_set_chunk_malloc_max(state_.png, PngMaxChunkBytes);
        // libpng reads a known chunk whole into memory, at the length the
        // file gives (past the bound above only a warning): every chunk
        // this decoder does not use is skipped unread instead, and eXIf is
        // kept as an unknown chunk, which the bound does hold.
        static const png_byte unused[] = "bKGD\0cHRM\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0"
                                         "sTER\0tEXt\0tIME\0zTXt\0";
        static const png_byte exif[] = "eXIf";
        png_set_keep_unknown_chunks(state_.png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
        png_set_keep_unknown_chunks(state_.png, PNG_HANDLE_CHUNK_NEVER, unused, static_cast<int>(sizeof unused / 5));
        png_set_keep_unknown_chunks(state_.png, PNG_HANDLE_CHUNK_ALWAYS, exif, 1);
    }

    [[noreturn]] void Fail() const { throw Exception(std::string("PNG error: ") + state_.message); }

    void ReadRow(std::vector<uint8_t>& row, const DecodeClock& clock) {
        clock.Check();
        if (!CallReadRow(&state_, row.data())) Fail();
    }

    static const uint8_t* ToRgb(const uint8_t* row, uint8_t* rgb, int width, int channels) {
        if (channels == 3) return row;
        ComposeOverBackground(row, rgb, width);
        return rgb;
    }

    // Adam7: the seven passes come one after the other, each a smaller
    // picture of every 8th, 4th or 2nd row and column. Only the rows the
    // sink wants are kept, at full width, filled in as the passes reach them.
    void DecodeInterlaced(RowSink& sink, const DecodeClock& clock, std::vector<uint8_t>& row, int channels) {
        const int width = header_.storedWidth, height = header_.storedHeight;
        std::vector<int> keptIndex(static_cast<size_t>(height), -1);
        std::vector<int> keptRows;
        for (int y = sink.NextWanted(0); y < height; y = sink.NextWanted(y + 1)) {
            keptIndex[y] = static_cast<int>(keptRows.size());
            keptRows.push_back(y);
        }
        const int64_t keptBytes = static_cast<int64_t>(keptRows.size()) * width * 4;
        CheckPictureCost(width, height, keptBytes);
        std::vector<uint8_t> kept(static_cast<size_t>(keptBytes));
        for (int pass = 0; pass < 7; ++pass) {
            const int passWidth = static_cast<int>(PNG_PASS_COLS(static_cast<png_uint_32>(width), pass));
            const int passHeight = static_cast<int>(PNG_PASS_ROWS(static_cast<png_uint_32>(height), pass));
            if (passWidth == 0 || passHeight == 0) continue;  // libpng skips empty passes too
            for (int r = 0; r < passHeight; ++r) {
                ReadRow(row, clock);
                const int y = static_cast<int>(PNG_ROW_FROM_PASS_ROW(static_cast<png_uint_32>(r), pass));
                if (keptIndex[y] < 0) continue;
                uint8_t* target = kept.data() + static_cast<size_t>(keptIndex[y]) * width * 4;
                for (int i = 0; i < passWidth; ++i) {
                    const int x = static_cast<int>(PNG_COL_FROM_PASS_COL(static_cast<png_uint_32>(i), pass));
                    uint8_t* p = target + static_cast<size_t>(x) * 4;
                    std::memcpy(p, row.data() + static_cast<size_t>(i) * channels, static_cast<size_t>(channels));
                    if (channels == 3) p[3] = 255;
                }
            }
        }
        std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3);
        for (size_t i = 0; i < keptRows.size(); ++i) {
            ComposeOverBackground(kept.data() + i * static_cast<size_t>(width) * 4, rgb.data(), width);
            sink.Row(keptRows[i], rgb.data());
        }
    }

    std::unique_ptr<FileStream> file_;
    PngState state_;
    bool headerRead_ = false;
    PictureHeader header_;
};

class Png : public PictureFormat {
public:
    const char* Name() const override { return "PNG"; }
    const std::vector<std::string>& Extensions() const override {
        static const std::vector<std::string> extensions{"PNG"};
        return extensions;
    }
    bool Recognises(const void* head, size_t size) const override {
        return size >= 8 && png_sig_cmp(static_cast<png_const_bytep>(head), 0, 8) == 0;
    }
    std::unique_ptr<PictureDecoder> Open(const std::string& path) const override {
        return std::make_unique<PngDecoder>(path);
    }
    std::unique_ptr<PictureDecoder> OpenBytes(const void* data, size_t size) const override {
        return std::make_unique<PngDecoder>(data, size);
    }
};

}  // namespace

const PictureFormat& PngFormat() {
    static const Png format;
    return format;
}

}  // namespace imaging
