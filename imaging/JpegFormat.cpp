#include <cstring>
#include <memory>
#include <vector>

#include "imaging/ClassicFormats.h"
#include "imaging/Jpeg.h"
#include "imaging/Orientation.h"
#include "platform/Stream.h"

namespace imaging {

namespace {

class JpegDecoder : public PictureDecoder {
public:
    explicit JpegDecoder(const std::string& path)
        : file_(std::make_unique<FileStream>(path, platform::OpenMode::Read)), reader_(*file_) {}
    JpegDecoder(const void* data, size_t size) : reader_(data, size) {}

    PictureHeader ReadHeader() override {
        if (!headerRead_) {
            reader_.KeepExifSegment();
            reader_.ReadHeader();
            const std::string& exif = reader_.ExifSegment();
            header_.storedWidth = reader_.ImageWidth();
            header_.storedHeight = reader_.ImageHeight();
            header_.orientation = exif.empty() ? 1 : ExifOrientation(exif.data(), exif.size());
            headerRead_ = true;
        }
        return header_;
    }

    // Always the full size (no DCT scaling): the pixels are those of the
    // full decode. Skipped rows are read and dropped after the greyscale
    // quantiser, whose dithering carries each row's error into the next.
    void Decode(const DecodeRequest&, RowSink& sink) override {
        ReadHeader();
        reader_.Start(JpegDecodeOptions());
        const int components = reader_.OutputComponents();
        const bool indexed = components == 1;
        const int height = reader_.OutputHeight();
        sink.Begin(reader_.OutputWidth(), height, indexed ? RowLayout::Indexed : RowLayout::Rgb,
                   indexed ? reader_.Colormap() : std::vector<TColor>());
        if (reader_.OutputWidth() <= 0) return;
        std::vector<uint8_t> row(static_cast<size_t>(reader_.OutputWidth()) * components);
        uint8_t* rowPointer = row.data();
        for (;;) {
            const int wanted = sink.NextWanted(reader_.OutputScanline());
            if (wanted >= height) break;
            int gap = wanted - reader_.OutputScanline();
            if (gap > 0) {
                if (indexed)
                    while (gap-- > 0) reader_.ReadRows(&rowPointer, 1);
                else
                    reader_.SkipRows(gap);
            }
            reader_.ReadRows(&rowPointer, 1);
            sink.Row(wanted, rowPointer);
        }
    }

private:
    std::unique_ptr<FileStream> file_;
    JpegReader reader_;
    bool headerRead_ = false;
    PictureHeader header_;
};

class Jpeg : public PictureFormat {
public:
    const char* Name() const override { return "JPEG"; }
    const std::vector<std::string>& Extensions() const override {
        static const std::vector<std::string> extensions{"JPG"};
        return extensions;
    }
    bool Recognises(const void* head, size_t size) const override {
        static const uint8_t soi[] = {0xFF, 0xD8, 0xFF};
        return size >= sizeof soi && std::memcmp(head, soi, sizeof soi) == 0;
    }
    std::unique_ptr<PictureDecoder> Open(const std::string& path) const override {
        return std::make_unique<JpegDecoder>(path);
    }
    std::unique_ptr<PictureDecoder> OpenBytes(const void* data, size_t size) const override {
        return std::make_unique<JpegDecoder>(data, size);
    }
};

}  // namespace

const PictureFormat& JpegFormat() {
    static const Jpeg format;
    return format;
}

}  // namespace imaging
