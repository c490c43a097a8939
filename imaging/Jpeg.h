// JPEG pictures over libjpeg(-turbo): the picture object that holds a file's
// compressed bytes and decodes or encodes on demand, and the row-by-row reader
// that the picture object and the streaming thumbnailer share.
//
// Library errors raise Exception("JPEG error #<message number>"); library
// warnings are ignored, so a damaged file decodes as far as it goes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/Bitmap.h"
#include "imaging/Limits.h"

class Stream;

enum TJPEGPerformance { jpBestQuality, jpBestSpeed };
enum TJPEGScale { jsFullSize, jsHalf, jsQuarter, jsEighth };
enum TJPEGPixelFormat { jf24Bit, jf8Bit };

// The message of a library error.
std::string JpegErrorMessage(int messageCode);

// How JpegReader::Start decodes.
struct JpegDecodeOptions {
    int scaleDenominator = 1;  // 1, 2, 4 or 8
    bool grayscale = false;    // greyscale output whatever the source
    bool quantize = false;     // 8-bit output through the library's quantiser (always for greyscale output)
    bool bestSpeed = false;    // fast integer transform, ordered dither, one-pass quantiser
    bool smoothing = true;     // block smoothing of progressive data
};

// One decompression, step by step. Each step calls the library from a frame
// that holds nothing with a destructor (the library leaves through longjmp on
// an error), then raises the error as an Exception.
class JpegReader {
public:
    // Reads the bytes in place; they must outlive the reader.
    JpegReader(const void* data, size_t size);
    // Reads the stream in blocks of blockSize bytes as the library asks for
    // them and seeks over the segments it skips.
    explicit JpegReader(Stream& stream, size_t blockSize = imaging::JpegReadBlockBytes);
    ~JpegReader();
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;

    // Reads the markers up to the first scan. A picture above
    // imaging::MaxPixels fails here, before anything is decoded.
    void ReadHeader();
    // Asks ReadHeader to keep the first APP1 segment that holds an EXIF block
    // (at most one segment's bytes, 64 KiB); the others are skipped as before.
    void KeepExifSegment();
    // That segment's bytes after its length field ("Exif\0\0..."), or "".
    const std::string& ExifSegment() const;
    int ImageWidth() const;
    int ImageHeight() const;
    bool SourceGrayscale() const;
    bool Progressive() const;

    // Starts decoding with the options; the output size and format are then known.
    void Start(const JpegDecodeOptions& options);
    int OutputWidth() const;
    int OutputHeight() const;
    // 3 (R, G, B) or 1 (palette indices, Colormap()).
    int OutputComponents() const;
    std::vector<TColor> Colormap() const;
    // The next row ReadRows would return.
    int OutputScanline() const;

    // Fills count rows of OutputWidth() * OutputComponents() bytes, reading
    // on from OutputScanline(); rows past the bottom are left as they are.
    void ReadRows(uint8_t* const* rows, int count);
    // Moves past count rows without producing them (the library's
    // jpeg_skip_scanlines; not with a quantiser, whose dithering carries
    // errors from row to row).
    void SkipRows(int count);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// One compression, row by row, into a stream: a baseline JFIF with the
// library's defaults and quality scaling (or, asked for, greyscale or
// progressive). The compressed bytes go to the stream as they are made, in
// blocks, so that neither the picture nor its file is held. Library errors,
// and a stream that fails to take the bytes, raise "JPEG error #%d".
class JpegWriter {
public:
    // Writes the file's header; width and height at least 1.
    JpegWriter(Stream& out, int width, int height, int quality, bool grayscale = false, bool progressive = false);
    ~JpegWriter();
    JpegWriter(const JpegWriter&) = delete;
    JpegWriter& operator=(const JpegWriter&) = delete;

    // The next count rows, top down, each width * 3 bytes: R, G, B.
    void WriteRows(const uint8_t* const* rows, int count);
    // Ends the file once every row was written.
    void Finish();

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Reads the size of a JPEG picture from its header; false when the bytes do
// not start a JPEG picture the library can read.
bool ReadJpegHeader(Stream& stream, int& width, int& height);

class TJPEGImage {
public:
    TJPEGImage();
    ~TJPEGImage();

    // Reads the whole file (or the bytes) as the compressed data and reads
    // its header; any decoded bitmap is discarded. Raises "Cannot open file
    // %s", "Stream read error" or "JPEG error #%d".
    void LoadFromFile(const std::string& path);
    void LoadFromStream(Stream& stream);
    void LoadFromBytes(std::string bytes);

    // Creates the file (replacing one that exists), encodes if needed and
    // writes the compressed data byte for byte.
    void SaveToFile(const std::string& path);
    void SaveToStream(Stream& stream);

    // Takes a copy of the bitmap as the decoded picture; the compressed data is
    // discarded, so the next save encodes anew.
    void Assign(const TBitmap& bitmap);
    // The decoded pixels (decoding first if needed).
    void AssignTo(TBitmap& bitmap);
    const TBitmap& Bitmap();

    // Makes the decoded bitmap from the compressed data if there is none
    // (nothing to do without compressed data).
    void Decode();
    // Makes the compressed data from the decoded bitmap if there is none; an
    // empty bitmap gives empty data.
    void Encode();
    const std::string& Data() const { return data_; }
    bool HasBitmap() const { return decoded_; }

    bool Empty() const;
    // The decoded size, or the header's size at the current scale.
    int Width() const;
    int Height() const;
    // A JPEG picture's size follows from its data: these always raise
    // "Cannot change the size of a JPEG image".
    void SetWidth(int width);
    void SetHeight(int height);

    // Encoding settings.
    int CompressionQuality() const { return quality_; }
    void SetCompressionQuality(int quality);
    bool ProgressiveEncoding() const { return progressiveEncoding_; }
    void SetProgressiveEncoding(bool value) { progressiveEncoding_ = value; }

    // Decoding settings: a change discards the decoded bitmap when the
    // compressed data can make it again. Grayscale and ProgressiveEncoding are
    // also set from the header on loading.
    TJPEGPerformance Performance() const { return performance_; }
    void SetPerformance(TJPEGPerformance value);
    bool Grayscale() const { return grayscale_; }
    void SetGrayscale(bool value);
    TJPEGPixelFormat PixelFormat() const { return pixelFormat_; }
    void SetPixelFormat(TJPEGPixelFormat value);
    TJPEGScale Scale() const { return scale_; }
    void SetScale(TJPEGScale value);
    bool Smoothing() const { return smoothing_; }
    void SetSmoothing(bool value);
    bool ProgressiveDisplay() const { return progressiveDisplay_; }
    void SetProgressiveDisplay(bool value);

private:
    void DecodingSettingChanged();
    void ReadHeaderOfData();

    std::string data_;
    TBitmap bitmap_;
    bool decoded_ = false;
    int headerWidth_ = 0, headerHeight_ = 0;

    int quality_ = 90;
    bool progressiveEncoding_ = false;
    TJPEGPerformance performance_ = jpBestQuality;
    bool grayscale_ = false;
    TJPEGPixelFormat pixelFormat_ = jf24Bit;
    TJPEGScale scale_ = jsFullSize;
    bool smoothing_ = true;
    bool progressiveDisplay_ = false;
};

// Decodes a whole picture into a bitmap as TJPEGImage does with the given
// settings: from bytes held in memory, or from a reader (a file read in
// blocks, so that its bytes need not be held at all).
void DecodeJpeg(const void* data, size_t size, const JpegDecodeOptions& options, TBitmap& out);
void DecodeJpeg(JpegReader& reader, const JpegDecodeOptions& options, TBitmap& out);
// Encodes a bitmap (converted to 24 bits) as a baseline JFIF with the
// library's defaults and quality scaling (JpegWriter's bytes); an empty
// bitmap gives "".
std::string EncodeJpegBytes(const TBitmap& bitmap, int quality, bool grayscale = false, bool progressive = false);
