#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

#include "imaging/FormatSupport.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Limits.h"
#include "imaging/Orientation.h"
#include "platform/Exception.h"

namespace imaging {

namespace {

// Input handed to the incremental decoder at a time, between looks at the clock.
constexpr size_t WebpPieceBytes = 64 * 1024;

[[noreturn]] void Fail(const char* what) { throw Exception(std::string("WebP error: ") + what); }

struct Demuxer {
    WebPDemuxer* demux = nullptr;
    ~Demuxer() { WebPDemuxDelete(demux); }
};

struct Iterator {
    WebPIterator frame;
    bool held = false;
    ~Iterator() {
        if (held) WebPDemuxReleaseIterator(&frame);
    }
};

struct ChunkIterator {
    WebPChunkIterator chunk;
    bool held = false;
    ~ChunkIterator() {
        if (held) WebPDemuxReleaseChunkIterator(&chunk);
    }
};

struct Decoding {
    WebPDecoderConfig config;
    WebPIDecoder* decoder = nullptr;
    Decoding() {
        if (!WebPInitDecoderConfig(&config)) Fail("library version mismatch");
    }
    ~Decoding() {
        WebPIDelete(decoder);
        WebPFreeDecBuffer(&config.output);
    }
};

class WebpDecoder : public PictureDecoder {
public:
    explicit WebpDecoder(const std::string& path) : bytes_(ReadFileWithin(path, FormatMaxFileBytes)) {
        data_ = reinterpret_cast<const uint8_t*>(bytes_.data());
        size_ = bytes_.size();
    }
    WebpDecoder(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}

    // The container (through WebPDemux): the EXIF chunk and, for an
    // animation, the first frame's bitstream; a file the demuxer does not
    // take whole (a truncated one) is given to the decoder as it is.
    PictureHeader ReadHeader() override {
        if (headerRead_) return header_;
        bitstream_ = data_;
        bitstreamSize_ = size_;
        WebPData whole{data_, size_};
        Demuxer demuxer;
        demuxer.demux = WebPDemux(&whole);
        if (demuxer.demux) {
            const uint32_t flags = WebPDemuxGetI(demuxer.demux, WEBP_FF_FORMAT_FLAGS);
            if (flags & EXIF_FLAG) {
                ChunkIterator exif;
                exif.held = WebPDemuxGetChunk(demuxer.demux, "EXIF", 1, &exif.chunk) != 0;
                if (exif.held) header_.orientation = ExifBlockOrientation(exif.chunk.chunk.bytes, exif.chunk.chunk.size);
            }
            if (flags & ANIMATION_FLAG) {
                Iterator first;
                first.held = WebPDemuxGetFrame(demuxer.demux, 1, &first.frame) != 0;
                if (!first.held) Fail("animation without frames");
                // The fragment points into the file's bytes, which outlive the demuxer.
                bitstream_ = first.frame.fragment.bytes;
                bitstreamSize_ = first.frame.fragment.size;
            }
        }
        if (WebPGetFeatures(bitstream_, bitstreamSize_, &features_) != VP8_STATUS_OK) Fail("not a WebP picture");
        // Held at full size whatever the output: a lossless picture's ARGB
        // (4 bytes a pixel), a lossy one's alpha plane (1 byte).
        const int64_t pixels = static_cast<int64_t>(features_.width) * features_.height;
        CheckPictureCost(features_.width, features_.height,
                         features_.format == 2 ? 4 * pixels : features_.has_alpha ? pixels : 0);
        header_.storedWidth = features_.width;
        header_.storedHeight = features_.height;
        headerRead_ = true;
        return header_;
    }

    void Decode(const DecodeRequest& request, RowSink& sink) override {
        ReadHeader();
        DecodeClock clock;
        Decoding decoding;
        WebPDecoderConfig& config = decoding.config;
        int width = header_.storedWidth, height = header_.storedHeight;
        if (request.targetWidth > 0 && request.targetHeight > 0) {
            // The scaled decode straight to the consumer's size, in the stored
            // orientation; never larger than the picture.
            const bool swapped = SwapsSides(header_.orientation);
            const int w = swapped ? request.targetHeight : request.targetWidth;
            const int h = swapped ? request.targetWidth : request.targetHeight;
            if (w <= width && h <= height && (w < width || h < height)) {
                config.options.use_scaling = 1;
                config.options.scaled_width = w;
                config.options.scaled_height = h;
                // The chroma is averaged by the scaling anyway: its smooth
                // upsampling first would cost time and change nothing seen;
                // so would the loop filter's smoothing of block edges on a
                // picture shrunk to half or less.
                config.options.no_fancy_upsampling = 1;
                if (2 * w <= width && 2 * h <= height) config.options.bypass_filtering = 1;
                width = w;
                height = h;
            }
        }
        const bool alpha = features_.has_alpha != 0;
        const int64_t pixels = static_cast<int64_t>(features_.width) * features_.height;
        CheckPictureCost(width, height,
                         static_cast<int64_t>(width) * height * (alpha ? 4 : 3) +
                             (features_.format == 2 ? 4 * pixels : alpha ? pixels : 0));
        config.output.colorspace = alpha ? MODE_RGBA : MODE_RGB;
        config.options.use_threads = 1;  // the loop filter of lossy pictures on a second thread
        decoding.decoder = WebPIDecode(nullptr, 0, &config);
        if (!decoding.decoder) Fail("out of memory");
        VP8StatusCode status = VP8_STATUS_SUSPENDED;
        for (size_t at = 0; at < bitstreamSize_ && status == VP8_STATUS_SUSPENDED; at += WebpPieceBytes) {
            clock.Check();
            status = WebPIAppend(decoding.decoder, bitstream_ + at, std::min(WebpPieceBytes, bitstreamSize_ - at));
        }
        clock.Check();
        if (status == VP8_STATUS_SUSPENDED) Fail("the file ends early");
        if (status != VP8_STATUS_OK) Fail("undecodable data");
        const WebPRGBABuffer& out = config.output.u.RGBA;
        if (config.output.width != width || config.output.height != height) Fail("unexpected output size");
        sink.Begin(width, height, RowLayout::Rgb, {});
        std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3);
        for (int y = sink.NextWanted(0); y < height; y = sink.NextWanted(y + 1)) {
            const uint8_t* row = out.rgba + static_cast<size_t>(y) * static_cast<size_t>(out.stride);
            if (alpha) {
                ComposeOverBackground(row, rgb.data(), width);
                row = rgb.data();
            }
            sink.Row(y, row);
        }
    }

private:
    std::string bytes_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    const uint8_t* bitstream_ = nullptr;
    size_t bitstreamSize_ = 0;
    WebPBitstreamFeatures features_{};
    bool headerRead_ = false;
    PictureHeader header_;
};

class Webp : public PictureFormat {
public:
    const char* Name() const override { return "WebP"; }
    const std::vector<std::string>& Extensions() const override {
        static const std::vector<std::string> extensions{"WEBP"};
        return extensions;
    }
    bool Recognises(const void* head, size_t size) const override {
        const auto* p = static_cast<const uint8_t*>(head);
        return size >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0;
    }
    std::unique_ptr<PictureDecoder> Open(const std::string& path) const override {
        return std::make_unique<WebpDecoder>(path);
    }
    std::unique_ptr<PictureDecoder> OpenBytes(const void* data, size_t size) const override {
        return std::make_unique<WebpDecoder>(data, size);
    }
};

}  // namespace

const PictureFormat& WebpFormat() {
    static const Webp format;
    return format;
}

}  // namespace imaging
