#include <cstring>
#include <memory>

#include "imaging/ClassicFormats.h"
#include "imaging/Gif.h"
#include "imaging/PointSampler.h"

namespace imaging {

namespace {

// Our decoder reads the whole file at once; the header is the size of the
// first frame on its logical screen, known once the file is read.
class GifDecoder : public PictureDecoder {
public:
    explicit GifDecoder(const std::string& path) : path_(path) {}
    GifDecoder(const void* data, size_t size) : data_(data), size_(size) {}

    PictureHeader ReadHeader() override {
        if (!read_) {
            TGIFImage image;
            if (data_)
                image.LoadFromMemory(data_, size_);
            else
                image.LoadFromFile(path_);
            image.AssignTo(picture_);
            read_ = true;
        }
        PictureHeader header;
        header.storedWidth = picture_.Width();
        header.storedHeight = picture_.Height();
        return header;
    }

    void Decode(const DecodeRequest&, RowSink& sink) override {
        ReadHeader();
        DeliverRows(picture_, sink);
    }

private:
    std::string path_;
    const void* data_ = nullptr;
    size_t size_ = 0;
    bool read_ = false;
    TBitmap picture_;
};

class Gif : public PictureFormat {
public:
    const char* Name() const override { return "GIF"; }
    const std::vector<std::string>& Extensions() const override {
        static const std::vector<std::string> extensions{"GIF"};
        return extensions;
    }
    // The signature at the start, or 4 bytes on (the reader skips such a prefix).
    bool Recognises(const void* head, size_t size) const override {
        auto gifAt = [&](size_t at) {
            if (size < at + 3) return false;
            const auto* p = static_cast<const uint8_t*>(head) + at;
            return (p[0] & 0xDF) == 'G' && (p[1] & 0xDF) == 'I' && (p[2] & 0xDF) == 'F';
        };
        return gifAt(0) || gifAt(4);
    }
    std::unique_ptr<PictureDecoder> Open(const std::string& path) const override {
        return std::make_unique<GifDecoder>(path);
    }
    std::unique_ptr<PictureDecoder> OpenBytes(const void* data, size_t size) const override {
        return std::make_unique<GifDecoder>(data, size);
    }
};

}  // namespace

const PictureFormat& GifFormat() {
    static const Gif format;
    return format;
}

}  // namespace imaging
