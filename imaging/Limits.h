// Every limit the imaging layer puts on untrusted bytes, in one place. Decoders
// check these before they allocate anything a file's header asks for.
#pragma once
#include <cstddef>
#include <cstdint>

namespace imaging {

// ---- Bitmaps (every decoder's output goes through TBitmap) ----

// The largest bitmap, in pixels (width x height), that is ever allocated; a
// picture above it fails as a decoding failure. 2^28 pixels is 768 MiB at 24
// bits, far beyond any camera yet well inside size_t and int arithmetic.
// Either side alone is held to it too (a bitmap with a side of 0 included), so
// that row sizes in bytes (up to 3 x MaxPixels) always fit in 32-bit arithmetic.
constexpr int64_t MaxPixels = int64_t(1) << 28;

// Palette entries an 8-bit bitmap can hold.
constexpr int MaxPaletteEntries = 256;

// ---- JPEG ----

// Colours the library's quantiser may use for 8-bit output (greyscale pictures
// and an 8-bit pixel-format setting).
constexpr int JpegQuantisedColours = 236;

// Blocks in which a file is read when only its header is wanted; segments
// before the frame header (EXIF data with its own thumbnail) are skipped by
// seeking, not read.
constexpr size_t JpegHeaderBlockBytes = 4096;

// ---- JPEG: what one decompression may cost ----

// Memory the JPEG library may take for one picture. A progressive picture
// keeps every coefficient of the whole picture until its last scan is read: 2
// bytes per pixel and component at full resolution (6 bytes per pixel for
// 4:4:4 colour, 3 for 4:2:0, 8 for CMYK), allocated as the decoding starts and
// before any scan is read. A request above this fails at once with the
// library's error, like any undecodable file (it has no backing store to fall
// back on). 192 MiB holds a progressive 4:2:0 picture of 60 megapixels and a
// 4:4:4 one of 30; a baseline picture of one scan needs a few rows, whatever
// its size.
// Without it, a file of 1 KB declaring 16384x16384 (within MaxPixels) costs
// 1.5 GB.
constexpr long JpegMaxMemoryBytes = 192L * 1024 * 1024;

// Scans a progressive file may hold. Every scan is a pass over the whole
// picture's coefficients, so a small file of many tiny scans would otherwise
// cost seconds to minutes; encoders write 6 to 10 (a few more when they search
// for the smallest file), cameras write one.
constexpr int JpegMaxScans = 64;

// Blocks in which a file is read while decoding as a stream.
constexpr size_t JpegReadBlockBytes = 64 * 1024;

// Blocks in which a JPEG file is written as it is encoded.
constexpr size_t JpegWriteBlockBytes = 64 * 1024;

// A picture written straight from the decoder to the encoder holds a few of
// its rows at a time, whatever its size, unless its EXIF orientation turns it
// or flips it upside down: then the first rows written come from the last
// rows read (or from every row), and the point-sampled pixels are held a band
// of rows at a time, at most this many bytes, the picture read once per band.
// A camera's turned picture is one band at any slide or thumbnail size; only a
// turned panorama of extreme proportions takes more.
constexpr size_t TurnedPictureBandBytes = 16 * 1024 * 1024;

// ---- BMP ----

// A BMP file and DIB header are at most this long before the palette (the v5
// header is 124 bytes); anything longer is not a bitmap header we know.
constexpr uint32_t BmpMaxInfoHeaderSize = 124;
constexpr uint32_t BmpFileHeaderSize = 14;

// ---- GIF ----

// The largest LZW minimum code size: the clear code of a larger one would not
// fit the 12-bit codes of the format. Larger sizes fail as "Invalid GIF data".
constexpr int GifMaxMinCodeSize = 11;

// Frames kept in a picture's frame list. Every frame is read and checked and
// counted; past this many, only the count grows, so that a file of millions of
// tiny frames costs memory in proportion to the bound, not to the file.
constexpr size_t GifMaxKeptFrames = 4096;

// Extensions kept over a whole picture (each costs about a hundred bytes for
// as little as three in the file); later ones are read and checked, not kept.
constexpr size_t GifMaxKeptExtensions = 4096;


// ---- PNG, WebP, HEIF and AVIF (the decoders over libpng, libwebp, libheif) ----

// What one picture of these formats may cost, whatever its file says: the
// decoding fails rather than go past them. Memory: 256 MiB for the picture's
// file, the library's buffers and ours together; the parts below are set so
// that their sum stays under it. Time: the decoders look at the clock between
// rows (or pieces of input) and fail past this many seconds; what a library
// does in one call without coming back is bounded by the sizes below instead.
constexpr int64_t FormatMaxMemoryBytes = int64_t(256) << 20;
constexpr double FormatMaxDecodeSeconds = 10.0;

// Files that are read whole into memory (WebP, HEIF) are at most this long.
constexpr int64_t FormatMaxFileBytes = int64_t(48) << 20;

// Pixels of the whole picture that a library holds (and ours, when a whole
// picture is asked for) at most, in bytes: what each format's decoder
// estimates from the header (bytes per pixel of the buffers it will make at
// full size), checked before the decoding starts.
constexpr int64_t FormatMaxHeldBytes = int64_t(192) << 20;
static_assert(FormatMaxFileBytes + FormatMaxHeldBytes < FormatMaxMemoryBytes,
              "a file held whole and the buffers held for it leave room for the rest");

// The background that transparent pixels are composed over: the photo
// page's, #FFE8C4.
constexpr uint8_t FormatBackgroundRed = 0xFF;
constexpr uint8_t FormatBackgroundGreen = 0xE8;
constexpr uint8_t FormatBackgroundBlue = 0xC4;

// PNG: ancillary chunks libpng keeps in memory, and the bytes it may
// allocate for one chunk other than the pixel data (the largest this decoder
// keeps is an eXIf block).
constexpr int PngMaxCachedChunks = 16;
constexpr size_t PngMaxChunkBytes = size_t(1) << 20;

// HEIF: the longest side libheif accepts (its own check, made as the file is
// read, before an image is allocated); MaxPixels holds for the area.
constexpr int HeifMaxSide = 16384;
// Tiles of a grid picture: each costs a decoder of its own, so a small file
// naming one tiny tile thousands of times would cost seconds. Phone pictures
// use at most a few hundred (a 48-megapixel picture in 512 x 512 tiles: 192).
constexpr int HeifMaxGridTiles = 1024;
// The item boxes ('meta') read to count those tiles; phones write a few KB.
constexpr int64_t HeifMaxMetaBytes = int64_t(16) << 20;
// Threads libheif decodes a grid's tiles on.
constexpr int HeifDecodingThreads = 2;

}  // namespace imaging
