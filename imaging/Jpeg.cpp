#include "imaging/Jpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "platform/Exception.h"
#include "platform/Stream.h"

// The library reports errors through error_exit, which must not return. Its
// default ends the process; ours jumps back to the setjmp of the call in
// progress. Every function below that calls setjmp holds only plain data, and
// the library is never entered from a frame that owns a C++ object, so the
// jump skips no destructor. The callers turn the failure into an Exception.

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;  // first: the library sees only this part
    jmp_buf jump;
};

void ErrorExit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }
// Warnings and trace messages: ignored, so a damaged file decodes as far as it goes.
void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {}

void InitErrorManager(ErrorManager& err) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = ErrorExit;
    err.pub.emit_message = EmitMessage;
    err.pub.output_message = OutputMessage;
}

int ErrorCode(const ErrorManager& err) { return err.pub.msg_code; }

// Progressive files: refuse an absurd number of scans (see JpegMaxScans).
void ProgressMonitor(j_common_ptr cinfo) {
    if (cinfo->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > imaging::JpegMaxScans)
        ERREXIT(cinfo, JERR_NOTIMPL);
}

// ---- Reading from a Stream in blocks ----

struct StreamSource {
    jpeg_source_mgr pub;  // first
    Stream* stream;
    JOCTET* buffer;
    size_t bufferSize;
    int64_t end;  // stream size; -1 when it cannot be had, -2 until first needed
    bool started;
};

// Stream calls are C++ and may throw; nothing may unwind through the library.
int64_t ReadNoThrow(Stream* stream, void* buffer, int64_t count) noexcept {
    try {
        return stream->Read(buffer, count);
    } catch (...) {
        return -1;
    }
}

// Seeks count bytes on, never past the end (a memory stream would grow).
// Asks for the stream's size only when a skip first needs it: reading just a
// header then costs one system call less.
bool SkipNoThrow(StreamSource* src, int64_t count) noexcept {
    try {
        Stream* stream = src->stream;
        if (src->end == -2) src->end = stream->Size();
        int64_t end = src->end;
        int64_t here = stream->Position();
        if (here < 0 || end < 0) return false;
        int64_t target = here + count > end ? end : here + count;
        return stream->Seek(target, 0) == target;
    } catch (...) {
        return false;
    }
}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<StreamSource*>(cinfo->src);
    int64_t n = ReadNoThrow(src->stream, src->buffer, static_cast<int64_t>(src->bufferSize));
    if (n <= 0) {
        if (!src->started) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        // The file ends early: say so and end the picture here, as the
        // library's own sources do.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    }
    src->started = true;
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = static_cast<size_t>(n);
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
    auto* src = reinterpret_cast<StreamSource*>(cinfo->src);
    if (count <= 0) return;
    if (static_cast<size_t>(count) <= src->pub.bytes_in_buffer) {
        src->pub.next_input_byte += count;
        src->pub.bytes_in_buffer -= static_cast<size_t>(count);
        return;
    }
    count -= static_cast<long>(src->pub.bytes_in_buffer);
    src->pub.bytes_in_buffer = 0;
    if (SkipNoThrow(src, count)) return;
    while (count > 0) {  // a stream that cannot seek: read over the bytes
        FillInputBuffer(cinfo);
        size_t n = std::min(static_cast<size_t>(count), src->pub.bytes_in_buffer);
        src->pub.next_input_byte += n;
        src->pub.bytes_in_buffer -= n;
        count -= static_cast<long>(n);
    }
}

// ---- Writing to a Stream in blocks ----

struct StreamDestination {
    jpeg_destination_mgr pub;  // first
    Stream* stream;
    JOCTET* buffer;
    size_t bufferSize;
};

bool WriteNoThrow(Stream* stream, const void* data, size_t count) noexcept {
    try {
        return stream->Write(data, static_cast<int64_t>(count)) == static_cast<int64_t>(count);
    } catch (...) {
        return false;
    }
}

void InitDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<StreamDestination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = dest->bufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    // Called with the whole buffer full.
    auto* dest = reinterpret_cast<StreamDestination*>(cinfo->dest);
    if (!WriteNoThrow(dest->stream, dest->buffer, dest->bufferSize)) ERREXIT(cinfo, JERR_FILE_WRITE);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = dest->bufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<StreamDestination*>(cinfo->dest);
    size_t used = dest->bufferSize - dest->pub.free_in_buffer;
    if (used > 0 && !WriteNoThrow(dest->stream, dest->buffer, used)) ERREXIT(cinfo, JERR_FILE_WRITE);
}

}  // namespace

std::string JpegErrorMessage(int messageCode) { return "JPEG error #" + std::to_string(messageCode); }

// ---- JpegReader ----

struct JpegReader::State {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_progress_mgr progress;
    StreamSource source;
    std::vector<JOCTET> buffer;
    bool headerRead = false;
    bool started = false;
    bool keepExif = false;          // ReadHeader keeps the EXIF segment
    std::string exif;               // the first APP1 segment starting "Exif\0\0"
    bool cmyk = false;              // CMYK or YCCK source, converted to RGB here
    std::vector<uint8_t> cmykRow;   // one row of the library's CMYK output

    State() {
        std::memset(&cinfo, 0, sizeof cinfo);
        std::memset(&source, 0, sizeof source);
        std::memset(&progress, 0, sizeof progress);
        InitErrorManager(err);
        cinfo.err = &err.pub;
        progress.progress_monitor = ProgressMonitor;
    }
    ~State() { jpeg_destroy_decompress(&cinfo); }
};

namespace {

using State = JpegReader::State;

// The calls into the library. Each returns false after an error, whose code
// is then in the error manager.

bool CallCreate(State* s) {
    if (setjmp(s->err.jump)) return false;
    jpeg_create_decompress(&s->cinfo);
    s->cinfo.progress = &s->progress;
    s->cinfo.mem->max_memory_to_use = imaging::JpegMaxMemoryBytes;
    return true;
}

bool CallMemorySource(State* s, const unsigned char* data, unsigned long size) {
    if (setjmp(s->err.jump)) return false;
    jpeg_mem_src(&s->cinfo, data, size);  // refuses 0 bytes
    return true;
}

// One byte of a marker segment from the source; a source that cannot give
// one has already raised an error or put an end-of-picture marker in place.
int NextByte(j_decompress_ptr cinfo) {
    jpeg_source_mgr* src = cinfo->src;
    if (src->bytes_in_buffer == 0 && !src->fill_input_buffer(cinfo)) ERREXIT(cinfo, JERR_CANT_SUSPEND);
    --src->bytes_in_buffer;
    return *src->next_input_byte++;
}

bool ResizeNoThrow(std::string& bytes, size_t size) noexcept {
    try {
        bytes.resize(size);
        return true;
    } catch (...) {
        return false;
    }
}

// The APP1 reader: keeps the first segment that starts "Exif\0\0" (the bytes
// after the length field, 65533 at most as the length field allows), and
// skips every other APP1 segment as the library would.
boolean ReadApp1(j_decompress_ptr cinfo) {
    auto* s = static_cast<State*>(cinfo->client_data);
    long length = static_cast<long>(NextByte(cinfo)) << 8;
    length |= NextByte(cinfo);
    length -= 2;
    if (length <= 0) return TRUE;
    static const char header[] = {'E', 'x', 'i', 'f', 0, 0};
    if (!s->exif.empty() || length < static_cast<long>(sizeof header) ||
        !ResizeNoThrow(s->exif, static_cast<size_t>(length))) {
        cinfo->src->skip_input_data(cinfo, length);
        return TRUE;
    }
    for (long i = 0; i < length; ++i) s->exif[static_cast<size_t>(i)] = static_cast<char>(NextByte(cinfo));
    if (std::memcmp(s->exif.data(), header, sizeof header) != 0) s->exif.clear();
    return TRUE;
}

bool CallReadHeader(State* s) {
    if (setjmp(s->err.jump)) return false;
    if (s->keepExif) {
        s->cinfo.client_data = s;
        jpeg_set_marker_processor(&s->cinfo, JPEG_APP0 + 1, ReadApp1);
    }
    jpeg_read_header(&s->cinfo, TRUE);
    return true;
}

bool CallStart(State* s) {
    if (setjmp(s->err.jump)) return false;
    jpeg_start_decompress(&s->cinfo);
    return true;
}

bool CallReadScanlines(State* s, JSAMPARRAY rows, JDIMENSION count, JDIMENSION* done) {
    if (setjmp(s->err.jump)) return false;
    while (*done < count) {
        JDIMENSION n = jpeg_read_scanlines(&s->cinfo, rows + *done, count - *done);
        if (n == 0) break;  // only a suspending source returns nothing; ours never do
        *done += n;
    }
    return true;
}

bool CallSkipScanlines(State* s, JDIMENSION count) {
    if (setjmp(s->err.jump)) return false;
    jpeg_skip_scanlines(&s->cinfo, count);
    return true;
}

[[noreturn]] void Raise(const State& s) { throw Exception(JpegErrorMessage(ErrorCode(s.err))); }

}  // namespace

JpegReader::JpegReader(const void* data, size_t size) : state_(std::make_unique<State>()) {
    if (!CallCreate(state_.get())) Raise(*state_);
    if (!CallMemorySource(state_.get(), static_cast<const unsigned char*>(data), static_cast<unsigned long>(size)))
        Raise(*state_);
}

JpegReader::JpegReader(Stream& stream, size_t blockSize) : state_(std::make_unique<State>()) {
    if (!CallCreate(state_.get())) Raise(*state_);
    State& s = *state_;
    s.buffer.resize(std::max<size_t>(blockSize, 16));
    s.source.pub.init_source = InitSource;
    s.source.pub.fill_input_buffer = FillInputBuffer;
    s.source.pub.skip_input_data = SkipInputData;
    s.source.pub.resync_to_restart = jpeg_resync_to_restart;
    s.source.pub.term_source = TermSource;
    s.source.stream = &stream;
    s.source.buffer = s.buffer.data();
    s.source.bufferSize = s.buffer.size();
    s.source.end = -2;
    s.cinfo.src = &s.source.pub;
}

JpegReader::~JpegReader() = default;

void JpegReader::ReadHeader() {
    State& s = *state_;
    if (s.headerRead) return;
    if (!CallReadHeader(&s)) Raise(s);
    s.headerRead = true;
    // Refuse a huge picture before the library allocates anything for it.
    if (static_cast<int64_t>(s.cinfo.image_width) * s.cinfo.image_height > imaging::MaxPixels)
        throw Exception(JpegErrorMessage(JERR_IMAGE_TOO_BIG));
}

void JpegReader::KeepExifSegment() { state_->keepExif = true; }
const std::string& JpegReader::ExifSegment() const { return state_->exif; }

int JpegReader::ImageWidth() const { return static_cast<int>(state_->cinfo.image_width); }
int JpegReader::ImageHeight() const { return static_cast<int>(state_->cinfo.image_height); }
bool JpegReader::SourceGrayscale() const { return state_->cinfo.jpeg_color_space == JCS_GRAYSCALE; }
bool JpegReader::Progressive() const { return state_->cinfo.progressive_mode != 0; }

void JpegReader::Start(const JpegDecodeOptions& options) {
    ReadHeader();
    State& s = *state_;
    jpeg_decompress_struct& c = s.cinfo;
    s.cmyk = c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK;
    if (s.cmyk)
        c.out_color_space = JCS_CMYK;
    else if (options.grayscale || c.jpeg_color_space == JCS_GRAYSCALE)
        c.out_color_space = JCS_GRAYSCALE;
    else
        c.out_color_space = JCS_RGB;
    c.scale_num = 1;
    c.scale_denom = static_cast<unsigned>(options.scaleDenominator);
    c.do_block_smoothing = options.smoothing ? TRUE : FALSE;
    c.buffered_image = FALSE;
    c.quantize_colors = !s.cmyk && (options.quantize || c.out_color_space == JCS_GRAYSCALE) ? TRUE : FALSE;
    c.desired_number_of_colors = imaging::JpegQuantisedColours;
    if (options.bestSpeed) {
        c.dct_method = JDCT_IFAST;
        c.dither_mode = JDITHER_ORDERED;
        c.two_pass_quantize = FALSE;
    } else {
        c.dct_method = JDCT_ISLOW;
        c.dither_mode = JDITHER_FS;
        c.two_pass_quantize = TRUE;
    }
    if (!CallStart(&s)) Raise(s);
    s.started = true;
    if (s.cmyk) s.cmykRow.resize(static_cast<size_t>(c.output_width) * 4);
}

int JpegReader::OutputWidth() const { return static_cast<int>(state_->cinfo.output_width); }
int JpegReader::OutputHeight() const { return static_cast<int>(state_->cinfo.output_height); }
int JpegReader::OutputComponents() const {
    return state_->cmyk ? 3 : state_->cinfo.quantize_colors ? 1 : state_->cinfo.output_components;
}
int JpegReader::OutputScanline() const { return static_cast<int>(state_->cinfo.output_scanline); }

std::vector<TColor> JpegReader::Colormap() const {
    const jpeg_decompress_struct& c = state_->cinfo;
    std::vector<TColor> palette;
    if (!c.quantize_colors || !c.colormap) return palette;
    for (int i = 0; i < c.actual_number_of_colors; ++i) {
        if (c.out_color_components == 1) {
            int v = c.colormap[0][i];
            palette.push_back(RGBColor(v, v, v));
        } else {
            palette.push_back(RGBColor(c.colormap[0][i], c.colormap[1][i], c.colormap[2][i]));
        }
    }
    return palette;
}

void JpegReader::ReadRows(uint8_t* const* rows, int count) {
    State& s = *state_;
    if (!s.started || count <= 0) return;
    JDIMENSION left = s.cinfo.output_height - s.cinfo.output_scanline;
    JDIMENSION wanted = std::min(static_cast<JDIMENSION>(count), left);
    if (!s.cmyk) {
        JDIMENSION done = 0;
        if (!CallReadScanlines(&s, const_cast<JSAMPARRAY>(rows), wanted, &done)) Raise(s);
        return;
    }
    // CMYK as Adobe writes it (inverted when its marker says so), to RGB.
    const bool inverted = s.cinfo.saw_Adobe_marker;
    for (JDIMENSION r = 0; r < wanted; ++r) {
        JSAMPROW row = s.cmykRow.data();
        JDIMENSION done = 0;
        if (!CallReadScanlines(&s, &row, 1, &done)) Raise(s);
        const uint8_t* p = s.cmykRow.data();
        uint8_t* out = rows[r];
        for (JDIMENSION x = 0; x < s.cinfo.output_width; ++x, p += 4, out += 3) {
            int k = inverted ? p[3] : 255 - p[3];
            for (int i = 0; i < 3; ++i) {
                int v = inverted ? p[i] : 255 - p[i];
                out[i] = static_cast<uint8_t>((v * k + 127) / 255);
            }
        }
    }
}

void JpegReader::SkipRows(int count) {
    State& s = *state_;
    if (!s.started || count <= 0) return;
    if (!CallSkipScanlines(&s, static_cast<JDIMENSION>(count))) Raise(s);
}

// ---- Whole-picture decoding and encoding ----

void DecodeJpeg(const void* data, size_t size, const JpegDecodeOptions& options, TBitmap& out) {
    JpegReader reader(data, size);
    DecodeJpeg(reader, options, out);
}

void DecodeJpeg(JpegReader& reader, const JpegDecodeOptions& options, TBitmap& out) {
    reader.Start(options);
    TBitmap bitmap;
    const bool indexed = reader.OutputComponents() == 1;
    if (indexed) bitmap.SetPixelFormat(pf8bit);
    bitmap.SetSize(reader.OutputWidth(), reader.OutputHeight());
    if (indexed) bitmap.SetPalette(reader.Colormap());
    std::vector<uint8_t*> rows(static_cast<size_t>(bitmap.Height()));
    for (int y = 0; y < bitmap.Height(); ++y) rows[y] = bitmap.MutableScanLine(y);
    if (bitmap.Width() > 0) reader.ReadRows(rows.data(), bitmap.Height());
    // A CMYK source comes out in 24 bits; 8 bits were asked for.
    if (options.quantize && !indexed) bitmap.SetPixelFormat(pf8bit);
    out = std::move(bitmap);
}

// ---- JpegWriter ----

struct JpegWriter::State {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    StreamDestination dest;
    std::vector<JOCTET> buffer;

    State() {
        std::memset(&cinfo, 0, sizeof cinfo);
        std::memset(&dest, 0, sizeof dest);
        InitErrorManager(err);
        cinfo.err = &err.pub;
        dest.pub.init_destination = InitDestination;
        dest.pub.empty_output_buffer = EmptyOutputBuffer;
        dest.pub.term_destination = TermDestination;
    }
    ~State() { jpeg_destroy_compress(&cinfo); }  // also after a failed creation: the memory is freed if there is any
};

namespace {

using WriterState = JpegWriter::State;

struct CompressSettings {
    JDIMENSION width, height;
    int quality;
    bool grayscale, progressive;
};

bool CallStartCompress(WriterState* s, const CompressSettings* settings) {
    if (setjmp(s->err.jump)) return false;
    jpeg_compress_struct* c = &s->cinfo;
    jpeg_create_compress(c);
    c->dest = &s->dest.pub;
    c->image_width = settings->width;
    c->image_height = settings->height;
    c->input_components = 3;
    c->in_color_space = JCS_RGB;
    jpeg_set_defaults(c);
    jpeg_set_quality(c, settings->quality, TRUE);  // forced to baseline-compatible tables
    if (settings->grayscale) jpeg_set_colorspace(c, JCS_GRAYSCALE);
    if (settings->progressive) jpeg_simple_progression(c);
    jpeg_start_compress(c, TRUE);
    return true;
}

bool CallWriteScanlines(WriterState* s, JSAMPARRAY rows, JDIMENSION count) {
    if (setjmp(s->err.jump)) return false;
    JDIMENSION done = 0;
    while (done < count && s->cinfo.next_scanline < s->cinfo.image_height)
        done += jpeg_write_scanlines(&s->cinfo, rows + done, count - done);
    return true;
}

bool CallFinishCompress(WriterState* s) {
    if (setjmp(s->err.jump)) return false;
    jpeg_finish_compress(&s->cinfo);
    return true;
}

[[noreturn]] void RaiseWriter(const WriterState& s) { throw Exception(JpegErrorMessage(ErrorCode(s.err))); }

}  // namespace

JpegWriter::JpegWriter(Stream& out, int width, int height, int quality, bool grayscale, bool progressive)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.buffer.resize(imaging::JpegWriteBlockBytes);
    s.dest.stream = &out;
    s.dest.buffer = s.buffer.data();
    s.dest.bufferSize = s.buffer.size();
    CompressSettings settings{static_cast<JDIMENSION>(std::max(width, 0)), static_cast<JDIMENSION>(std::max(height, 0)),
                              std::clamp(quality, 1, 100), grayscale, progressive};
    if (!CallStartCompress(&s, &settings)) RaiseWriter(s);
}

JpegWriter::~JpegWriter() = default;

void JpegWriter::WriteRows(const uint8_t* const* rows, int count) {
    if (count <= 0) return;
    // The library reads the rows and never writes them.
    if (!CallWriteScanlines(state_.get(), const_cast<JSAMPARRAY>(rows), static_cast<JDIMENSION>(count)))
        RaiseWriter(*state_);
}

void JpegWriter::Finish() {
    if (!CallFinishCompress(state_.get())) RaiseWriter(*state_);
}

std::string EncodeJpegBytes(const TBitmap& bitmap, int quality, bool grayscale, bool progressive) {
    if (bitmap.Empty()) return std::string();
    TBitmap rgb = bitmap;  // shares storage unless a conversion is needed
    rgb.SetPixelFormat(pf24bit);
    std::vector<const uint8_t*> rows(static_cast<size_t>(rgb.Height()));
    for (int y = 0; y < rgb.Height(); ++y) rows[y] = rgb.ScanLine(y);
    MemoryStream out;
    // A first guess at the size that most pictures stay below.
    out.Data().reserve(16384 + static_cast<size_t>(rgb.Width()) * static_cast<size_t>(rgb.Height()) / 2);
    JpegWriter writer(out, rgb.Width(), rgb.Height(), quality, grayscale, progressive);
    writer.WriteRows(rows.data(), rgb.Height());
    writer.Finish();
    return std::move(out.Data());
}

bool ReadJpegHeader(Stream& stream, int& width, int& height) {
    try {
        JpegReader reader(stream, imaging::JpegHeaderBlockBytes);
        reader.ReadHeader();
        width = reader.ImageWidth();
        height = reader.ImageHeight();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// ---- TJPEGImage ----

TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::LoadFromFile(const std::string& path) { LoadFromBytes(ReadWholeFile(path)); }

void TJPEGImage::LoadFromStream(Stream& stream) {
    std::string bytes;
    char block[65536];
    for (;;) {
        int64_t n = stream.Read(block, sizeof block);
        if (n < 0) throw Exception("Stream read error");
        if (n == 0) break;
        bytes.append(block, static_cast<size_t>(n));
    }
    LoadFromBytes(std::move(bytes));
}

void TJPEGImage::LoadFromBytes(std::string bytes) {
    data_ = std::move(bytes);
    bitmap_ = TBitmap();
    decoded_ = false;
    headerWidth_ = headerHeight_ = 0;
    ReadHeaderOfData();
}

void TJPEGImage::ReadHeaderOfData() {
    JpegReader reader(data_.data(), data_.size());
    reader.ReadHeader();
    headerWidth_ = reader.ImageWidth();
    headerHeight_ = reader.ImageHeight();
    grayscale_ = reader.SourceGrayscale();
    progressiveEncoding_ = reader.Progressive();
}

void TJPEGImage::SaveToFile(const std::string& path) {
    Encode();  // before the file exists: a failed encoding leaves no file behind
    FileStream file(path, platform::OpenMode::Create);
    file.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

void TJPEGImage::SaveToStream(Stream& stream) {
    Encode();
    stream.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

void TJPEGImage::Assign(const TBitmap& bitmap) {
    bitmap_ = bitmap;
    decoded_ = true;
    data_.clear();
    data_.shrink_to_fit();
    headerWidth_ = headerHeight_ = 0;
}

void TJPEGImage::AssignTo(TBitmap& bitmap) { bitmap = Bitmap(); }

const TBitmap& TJPEGImage::Bitmap() {
    Decode();
    return bitmap_;
}

void TJPEGImage::Decode() {
    if (decoded_ || data_.empty()) return;
    JpegDecodeOptions options;
    options.scaleDenominator = 1 << static_cast<int>(scale_);
    options.grayscale = grayscale_;
    options.quantize = pixelFormat_ == jf8Bit;
    options.bestSpeed = performance_ == jpBestSpeed;
    options.smoothing = smoothing_;
    DecodeJpeg(data_.data(), data_.size(), options, bitmap_);
    decoded_ = true;
}

void TJPEGImage::Encode() {
    if (!data_.empty()) return;
    if (!decoded_) return;
    data_ = EncodeJpegBytes(bitmap_, quality_, grayscale_, progressiveEncoding_);
}

bool TJPEGImage::Empty() const { return data_.empty() && bitmap_.Empty(); }

int TJPEGImage::Width() const {
    if (decoded_ || data_.empty()) return bitmap_.Width();
    int d = 1 << static_cast<int>(scale_);
    return (headerWidth_ + d - 1) / d;
}

int TJPEGImage::Height() const {
    if (decoded_ || data_.empty()) return bitmap_.Height();
    int d = 1 << static_cast<int>(scale_);
    return (headerHeight_ + d - 1) / d;
}

void TJPEGImage::SetWidth(int) { throw Exception("Cannot change the size of a JPEG image"); }
void TJPEGImage::SetHeight(int) { throw Exception("Cannot change the size of a JPEG image"); }

void TJPEGImage::SetCompressionQuality(int quality) { quality_ = std::clamp(quality, 1, 100); }

void TJPEGImage::DecodingSettingChanged() {
    // Only when the compressed data can make the picture again.
    if (!data_.empty() && decoded_) {
        bitmap_ = TBitmap();
        decoded_ = false;
    }
}

void TJPEGImage::SetPerformance(TJPEGPerformance value) {
    if (value == performance_) return;
    performance_ = value;
    DecodingSettingChanged();
}

void TJPEGImage::SetGrayscale(bool value) {
    if (value == grayscale_) return;
    grayscale_ = value;
    DecodingSettingChanged();
}

void TJPEGImage::SetPixelFormat(TJPEGPixelFormat value) {
    if (value == pixelFormat_) return;
    pixelFormat_ = value;
    DecodingSettingChanged();
}

void TJPEGImage::SetScale(TJPEGScale value) {
    if (value == scale_) return;
    scale_ = value;
    DecodingSettingChanged();
}

void TJPEGImage::SetSmoothing(bool value) {
    if (value == smoothing_) return;
    smoothing_ = value;
    DecodingSettingChanged();
}

void TJPEGImage::SetProgressiveDisplay(bool value) {
    if (value == progressiveDisplay_) return;
    progressiveDisplay_ = value;
    DecodingSettingChanged();
}
