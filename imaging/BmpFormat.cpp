#include <cstring>
#include <memory>

#include "imaging/Bmp.h"
#include "imaging/ClassicFormats.h"
#include "imaging/PointSampler.h"
#include "platform/Stream.h"

namespace imaging {

namespace {

// The BMP reader makes the whole bitmap at once; the header is its size.
class BmpDecoder : public PictureDecoder {
public:
    explicit BmpDecoder(Stream& stream) : stream_(&stream) {}
    BmpDecoder(const void* data, size_t size) : data_(data), size_(size) {}

    PictureHeader ReadHeader() override {
        if (!read_) {
            if (stream_)
                LoadBmpFromStream(*stream_, picture_);
            else
                ReadBmp(data_, size_, picture_);
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
    Stream* stream_ = nullptr;
    const void* data_ = nullptr;
    size_t size_ = 0;
    bool read_ = false;
    TBitmap picture_;
};

class Bmp : public PictureFormat {
public:
    const char* Name() const override { return "BMP"; }
    const std::vector<std::string>& Extensions() const override {
        static const std::vector<std::string> extensions{"BMP"};
        return extensions;
    }
    bool Recognises(const void* head, size_t size) const override {
        return size >= 2 && std::memcmp(head, "BM", 2) == 0;
    }
    std::unique_ptr<PictureDecoder> OpenStream(Stream& stream) const override {
        return std::make_unique<BmpDecoder>(stream);
    }
    std::unique_ptr<PictureDecoder> OpenBytes(const void* data, size_t size) const override {
        return std::make_unique<BmpDecoder>(data, size);
    }
};

}  // namespace

const PictureFormat& BmpFormat() {
    static const Bmp format;
    return format;
}

}  // namespace imaging
