#include "imaging/PictureFormat.h"

#include "platform/Stream.h"

namespace imaging {

namespace {

// A decoder of a stream together with the file the stream reads.
class FileDecoder : public PictureDecoder {
public:
    FileDecoder(std::unique_ptr<FileStream> file, const PictureFormat& format)
        : file_(std::move(file)), inner_(format.OpenStream(*file_)) {}
    PictureHeader ReadHeader() override { return inner_->ReadHeader(); }
    void Decode(const DecodeRequest& request, RowSink& sink) override { inner_->Decode(request, sink); }

private:
    std::unique_ptr<FileStream> file_;  // outlives inner_, which reads it
    std::unique_ptr<PictureDecoder> inner_;
};

}  // namespace

std::unique_ptr<PictureDecoder> PictureFormat::Open(const std::string& path) const {
    return std::make_unique<FileDecoder>(std::make_unique<FileStream>(path, platform::OpenMode::Read), *this);
}

}  // namespace imaging
