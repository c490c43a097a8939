#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <libheif/heif.h>

#include "imaging/FormatSupport.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Limits.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

namespace imaging {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw Exception("HEIF error: " + what); }

void Check(const heif_error& error) {
    if (error.code != heif_error_Ok) Fail(error.message ? error.message : "unknown");
}

// ---- How many tiles the primary picture is made of ----
//
// libheif 1.15 decodes every tile a grid names, with a new decoder each, and
// has no public view of a grid before decoding it. The count is read here
// from the boxes themselves (ISO/IEC 14496-12, 23008-12): the 'dimg'
// references of the primary item ('pitm') in the item reference box
// ('iref') of the top-level 'meta' box. Nothing else is read, and a box
// that does not fit its parent ends the walk.

uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t Type(const char* name) { return Be32(reinterpret_cast<const uint8_t*>(name)); }

struct Box {
    uint32_t type = 0;
    const uint8_t* body = nullptr;
    size_t size = 0;
};

// The box at p (before end), moving p past it; false at the end or for a
// box that does not fit.
bool NextBox(const uint8_t*& p, const uint8_t* end, Box& box) {
    const size_t left = static_cast<size_t>(end - p);
    if (left < 8) return false;
    uint64_t size = Be32(p);
    size_t header = 8;
    box.type = Be32(p + 4);
    if (size == 1) {
        if (left < 16) return false;
        size = static_cast<uint64_t>(Be32(p + 8)) << 32 | Be32(p + 12);
        header = 16;
    } else if (size == 0) {
        size = left;
    }
    if (size < header || size > left) return false;
    box.body = p + header;
    box.size = static_cast<size_t>(size) - header;
    p += size;
    return true;
}

uint64_t PrimaryTileCount(const uint8_t* data, size_t size) {
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    Box box;
    while (NextBox(p, end, box) && box.type != Type("meta")) {
    }
    if (box.type != Type("meta") || box.size < 4) return 0;
    uint32_t primary = 0;
    bool havePrimary = false;
    std::map<uint32_t, uint64_t> references;  // from item: 'dimg' references
    const uint8_t* q = box.body + 4;          // after the full box's version and flags
    const uint8_t* metaEnd = box.body + box.size;
    Box child;
    while (NextBox(q, metaEnd, child)) {
        if (child.type == Type("pitm") && child.size >= 6) {
            primary = child.body[0] == 0 ? Be16(child.body + 4) : (child.size >= 8 ? Be32(child.body + 4) : 0);
            havePrimary = true;
        } else if (child.type == Type("iref") && child.size >= 4) {
            const size_t idBytes = child.body[0] == 0 ? 2 : 4;
            const uint8_t* r = child.body + 4;
            const uint8_t* irefEnd = child.body + child.size;
            Box reference;
            while (NextBox(r, irefEnd, reference)) {
                if (reference.type != Type("dimg") || reference.size < idBytes + 2) continue;
                const uint32_t from = idBytes == 2 ? Be16(reference.body) : Be32(reference.body);
                references[from] += Be16(reference.body + idBytes);
            }
        }
    }
    if (!havePrimary) return 0;
    auto it = references.find(primary);
    return it == references.end() ? 0 : it->second;
}

// The same for a file read through a stream: the top-level boxes are walked
// by their headers and only the 'meta' box is read (at most HeifMaxMetaBytes).
uint64_t PrimaryTileCount(Stream& stream, int64_t fileSize) {
    int64_t at = 0;
    while (at + 8 <= fileSize) {
        uint8_t header[16];
        const size_t wanted = static_cast<size_t>(std::min<int64_t>(16, fileSize - at));
        if (stream.Seek(at, 0) != at || stream.Read(header, static_cast<int64_t>(wanted)) != static_cast<int64_t>(wanted))
            return 0;
        uint64_t size = Be32(header);
        if (size == 1) {
            if (wanted < 16) return 0;
            size = static_cast<uint64_t>(Be32(header + 8)) << 32 | Be32(header + 12);
        } else if (size == 0) {
            size = static_cast<uint64_t>(fileSize - at);
        }
        if (size < 8 || size > static_cast<uint64_t>(fileSize - at)) return 0;
        if (Be32(header + 4) == Type("meta")) {
            if (size > static_cast<uint64_t>(HeifMaxMetaBytes)) Fail("too many tiles");
            std::string meta(static_cast<size_t>(size), '\0');
            if (stream.Seek(at, 0) != at) return 0;
            stream.ReadBuffer(meta.data(), static_cast<int64_t>(size));
            return PrimaryTileCount(reinterpret_cast<const uint8_t*>(meta.data()), meta.size());
        }
        at += static_cast<int64_t>(size);
    }
    return 0;
}

// ---- Reading a file through a stream: libheif reads the boxes and then
// only the coded data of the pictures it decodes ----

struct StreamReading {
    Stream* stream = nullptr;
    int64_t size = 0;
};

int64_t ReaderPosition(void* userdata) {
    try {
        return static_cast<StreamReading*>(userdata)->stream->Position();
    } catch (...) {
        return -1;
    }
}

int ReaderRead(void* data, size_t size, void* userdata) {
    try {
        Stream* stream = static_cast<StreamReading*>(userdata)->stream;
        size_t done = 0;
        while (done < size) {
            const int64_t n = stream->Read(static_cast<uint8_t*>(data) + done, static_cast<int64_t>(size - done));
            if (n <= 0) return 1;
            done += static_cast<size_t>(n);
        }
        return 0;
    } catch (...) {
        return 1;
    }
}

int ReaderSeek(int64_t position, void* userdata) {
    try {
        auto* reading = static_cast<StreamReading*>(userdata);
        if (position < 0 || position > reading->size) return 1;
        return reading->stream->Seek(position, 0) == position ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

heif_reader_grow_status ReaderWait(int64_t targetSize, void* userdata) {
    return targetSize <= static_cast<StreamReading*>(userdata)->size ? heif_reader_grow_status_size_reached
                                                                      : heif_reader_grow_status_size_beyond_eof;
}

const heif_reader StreamReader = {1, ReaderPosition, ReaderRead, ReaderSeek, ReaderWait};

// ---- Decoding ----

void InitialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
}

struct Context {
    heif_context* context = heif_context_alloc();
    ~Context() { heif_context_free(context); }
};

struct Handle {
    heif_image_handle* handle = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { heif_image_handle_release(handle); }
};

struct Image {
    heif_image* image = nullptr;
    ~Image() { heif_image_release(image); }
};

struct Options {
    heif_decoding_options* options = heif_decoding_options_alloc();
    ~Options() { heif_decoding_options_free(options); }
};

// Bytes a decoding holds per pixel, at 8 bits: the picture as planar RGB
// (a grid's tiles are pasted into such planes as they are decoded, so its
// picture comes out without a conversion); a single coded picture also has
// the decoder's YCbCr 4:2:0 picture it is converted from; an alpha plane, and
// for a single picture the alpha picture's own decoding. Twice that above 8
// bits (converted down only at the end).
int64_t HeldBytes(int64_t pixels, bool grid, bool alpha, int bits) {
    int64_t perTenPixels = 30;
    if (!grid) perTenPixels += 15;
    if (alpha) perTenPixels += grid ? 10 : 25;
    return pixels * perTenPixels / 10 * (bits > 8 ? 2 : 1);
}

class HeifDecoder : public PictureDecoder {
public:
    explicit HeifDecoder(const std::string& path) : file_(std::make_unique<FileStream>(path, platform::OpenMode::Read)) {
        reading_.stream = file_.get();
        reading_.size = file_->Size();
        if (reading_.size < 0) throw Exception("Stream read error");
    }
    HeifDecoder(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}

    PictureHeader ReadHeader() override {
        if (headerRead_) return header_;
        InitialiseLibrary();
        if (!context_.context) Fail("out of memory");
        const uint64_t tiles = file_ ? PrimaryTileCount(*file_, reading_.size) : PrimaryTileCount(data_, size_);
        if (tiles > static_cast<uint64_t>(HeifMaxGridTiles)) Fail("too many tiles");
        grid_ = tiles > 0;
        heif_context_set_maximum_image_size_limit(context_.context, HeifMaxSide);
        heif_context_set_max_decoding_threads(context_.context, HeifDecodingThreads);
        if (file_) {
            if (file_->Seek(0, 0) != 0) throw Exception("Stream read error");
            Check(heif_context_read_from_reader(context_.context, &StreamReader, &reading_, nullptr));
        } else {
            Check(heif_context_read_from_memory_without_copy(context_.context, data_, size_, nullptr));
        }
        Check(heif_context_get_primary_image_handle(context_.context, &primary_.handle));
        // The size after the format's own rotation, mirror and crop.
        header_.storedWidth = heif_image_handle_get_width(primary_.handle);
        header_.storedHeight = heif_image_handle_get_height(primary_.handle);
        const int codedWidth = heif_image_handle_get_ispe_width(primary_.handle);
        const int codedHeight = heif_image_handle_get_ispe_height(primary_.handle);
        CheckPictureCost(std::max(header_.storedWidth, codedWidth), std::max(header_.storedHeight, codedHeight), 0);
        if (header_.storedWidth <= 0 || header_.storedHeight <= 0) Fail("picture without pixels");
        headerRead_ = true;
        return header_;
    }

    void Decode(const DecodeRequest& request, RowSink& sink) override {
        ReadHeader();
        Handle preview;
        heif_image_handle* source = primary_.handle;
        if (request.targetWidth > 0 && request.targetHeight > 0 && ChoosePreview(request, preview))
            source = preview.handle;
        const bool alpha = heif_image_handle_has_alpha_channel(source) != 0;
        const int bits = heif_image_handle_get_luma_bits_per_pixel(source);
        const int64_t width = std::max(heif_image_handle_get_width(source), heif_image_handle_get_ispe_width(source));
        const int64_t height = std::max(heif_image_handle_get_height(source), heif_image_handle_get_ispe_height(source));
        CheckPictureCost(width, height, HeldBytes(width * height, grid_ && source == primary_.handle, alpha, bits));

        Options options;
        if (!options.options) Fail("out of memory");
        options.options->ignore_transformations = 0;  // the format's rotation, mirror and crop applied
        // Planar RGB: what libheif pastes a grid's tiles into, so that such a
        // picture needs no conversion (and no second copy) at all. Planes of
        // more than 8 bits (libheif 1.15 converts only interleaved output
        // down) are scaled here, only for the rows the sink takes.
        Image image;
        Check(heif_decode_image(source, &image.image, heif_colorspace_RGB, heif_chroma_444, options.options));
        const int planeCount = alpha ? 4 : 3;
        const heif_channel channels[4] = {heif_channel_R, heif_channel_G, heif_channel_B, heif_channel_Alpha};
        const uint8_t* planes[4] = {};
        int strides[4] = {}, maxima[4] = {};
        const int w = heif_image_get_width(image.image, heif_channel_R);
        const int h = heif_image_get_height(image.image, heif_channel_R);
        if (w <= 0 || h <= 0) Fail("no picture decoded");
        for (int i = 0; i < planeCount; ++i) {
            planes[i] = heif_image_get_plane_readonly(image.image, channels[i], &strides[i]);
            const int depth = heif_image_get_bits_per_pixel_range(image.image, channels[i]);
            if (!planes[i] || depth < 1 || depth > 16 || heif_image_get_width(image.image, channels[i]) < w ||
                heif_image_get_height(image.image, channels[i]) < h ||
                strides[i] < w * (depth > 8 ? 2 : 1))
                Fail("no picture decoded");
            maxima[i] = depth > 8 ? (1 << depth) - 1 : 0;  // 0: bytes as they are
        }
        const bool premultiplied = alpha && heif_image_is_premultiplied_alpha(image.image);
        sink.Begin(w, h, RowLayout::Rgb, {});
        std::vector<uint8_t> rgba(static_cast<size_t>(w) * 4), rgb(static_cast<size_t>(w) * 3);
        for (int y = sink.NextWanted(0); y < h; y = sink.NextWanted(y + 1)) {
            for (int i = 0; i < planeCount; ++i) {
                const uint8_t* row = planes[i] + static_cast<size_t>(y) * static_cast<size_t>(strides[i]);
                uint8_t* out = rgba.data() + i;
                if (maxima[i] == 0) {
                    for (int x = 0; x < w; ++x) out[4 * x] = row[x];
                } else {
                    const int max = maxima[i];
                    for (int x = 0; x < w; ++x) {
                        uint16_t v;
                        std::memcpy(&v, row + 2 * x, 2);
                        out[4 * x] = static_cast<uint8_t>((std::min<int>(v, max) * 255 + max / 2) / max);
                    }
                }
            }
            if (!alpha)
                for (int x = 0; x < w; ++x) std::memcpy(rgb.data() + 3 * x, rgba.data() + 4 * x, 3);
            else
                ComposeOverBackground(premultiplied ? Unpremultiplied(rgba.data(), w) : rgba.data(), rgb.data(), w);
            sink.Row(y, rgb.data());
        }
    }

private:
    // The smallest embedded preview that is at least the target and has the
    // picture's proportions (within one of its pixels).
    bool ChoosePreview(const DecodeRequest& request, Handle& chosen) {
        const int count = heif_image_handle_get_number_of_thumbnails(primary_.handle);
        if (count <= 0) return false;
        std::vector<heif_item_id> ids(static_cast<size_t>(std::min(count, 16)));
        const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary_.handle, ids.data(),
                                                                       static_cast<int>(ids.size()));
        const int64_t fullWidth = header_.storedWidth, fullHeight = header_.storedHeight;
        int64_t best = 0;
        for (int i = 0; i < listed; ++i) {
            Handle candidate;
            if (heif_image_handle_get_thumbnail(primary_.handle, ids[i], &candidate.handle).code != heif_error_Ok) continue;
            const int64_t w = heif_image_handle_get_width(candidate.handle);
            const int64_t h = heif_image_handle_get_height(candidate.handle);
            if (w < request.targetWidth || h < request.targetHeight) continue;
            if (std::llabs(w * fullHeight - h * fullWidth) >= std::max(fullWidth, fullHeight)) continue;
            if (best != 0 && w * h >= best) continue;
            best = w * h;
            std::swap(chosen.handle, candidate.handle);
        }
        return best != 0;
    }

    // In place.
    static const uint8_t* Unpremultiplied(uint8_t* row, int width) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = row + 4 * x;
            const int a = p[3];
            for (int i = 0; i < 3; ++i) p[i] = a == 0 ? 0 : static_cast<uint8_t>(std::min(255, (p[i] * 255 + a / 2) / a));
        }
        return row;
    }

    // A file is read through a stream as libheif asks; bytes are read in place.
    std::unique_ptr<FileStream> file_;
    StreamReading reading_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    Context context_;
    Handle primary_;
    bool grid_ = false;  // the primary picture is a grid of tiles
    bool headerRead_ = false;
    PictureHeader header_;
};

class Heif : public PictureFormat {
public:
    const char* Name() const override { return "HEIF"; }
    const std::vector<std::string>& Extensions() const override {
        static const std::vector<std::string> extensions{"HEIC", "HEIF", "AVIF"};
        return extensions;
    }
    bool Recognises(const void* head, size_t size) const override {
        return size >= 12 && heif_check_filetype(static_cast<const uint8_t*>(head), static_cast<int>(size)) ==
                                 heif_filetype_yes_supported;
    }
    std::unique_ptr<PictureDecoder> Open(const std::string& path) const override {
        return std::make_unique<HeifDecoder>(path);
    }
    std::unique_ptr<PictureDecoder> OpenBytes(const void* data, size_t size) const override {
        return std::make_unique<HeifDecoder>(data, size);
    }
};

}  // namespace

const PictureFormat& HeifFormat() {
    static const Heif format;
    return format;
}

}  // namespace imaging
