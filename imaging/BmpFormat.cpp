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
    explicit BmpDecoder(const std::string& path) : file_(std::make_unique<FileStream>(path, platform::OpenMode::Read)) {}
    BmpDecoder(const void* data, size_t size) : data_(data), size_(size) {}

    PictureHeader ReadHeader() override {
        if (!read_) {
            if (file_)
                LoadBmpFromStream(*file_, picture_);
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
    std::unique_ptr<FileStream> file_;
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
    std::unique_ptr<PictureDecoder> Open(const std::string& path) const override {
        return std::make_unique<BmpDecoder>(path);
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
