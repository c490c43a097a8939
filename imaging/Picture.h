// The picture routines the gallery composes: reading picture files into
// bitmaps (whole, or straight to a point-sampled size), reading a JPEG's size
// from its header, and writing a bitmap as a JPEG file.
//
// Failures raise Exception with the layer's messages ("Cannot open file %s",
// "Stream read error", "JPEG error #%d", "Bitmap image is not valid", ...);
// which of them to catch is the caller's decision.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "imaging/Bitmap.h"
#include "imaging/Limits.h"

class Stream;

// The width and height from a JPEG file's header, reading only the first
// bytes it needs. False for a missing, empty, unreadable or non-JPEG file.
bool ReadJpegSize(const std::string& path, int& width, int& height);

// The width and height of the upright picture (turned as its EXIF
// orientation says) from the header of the JPEG picture at the stream's
// position, reading only what the header needs; false when there is none.
bool ReadJpegUprightSize(Stream& picture, int& width, int& height);

// Decodes a JPEG file at full size with the best-quality settings: a colour
// picture into a 24-bit bitmap, a greyscale one into an 8-bit bitmap of at
// most 236 grey levels.
void LoadJpegFile(const std::string& path, TBitmap& out);

// The same picture as LoadJpegFile followed by StretchDraw of the whole of it
// into (0, 0, targetWidth, targetHeight) of a bitmap of that size and format,
// pixel for pixel, made in one streaming pass: full-size rows come one at a
// time, rows the sampling does not use are skipped, and the full-size picture
// is never held. fullWidth and fullHeight receive the picture's size from its
// header (also when the target is empty). A target width or height of 0 or
// less gives an empty bitmap of that size after the header is read.
//
// A picture whose EXIF orientation (imaging/Orientation.h) says it is turned
// or mirrored is the upright picture here: fullWidth, fullHeight and the
// target are the upright picture's, and the result is LoadJpegFile turned
// upright (OrientUpright) and then stretched, still in one streaming pass.
void LoadJpegPointSampled(const std::string& path, int targetWidth, int targetHeight, TBitmap& out,
                          int* fullWidth = nullptr, int* fullHeight = nullptr);
// The same with the target chosen from the picture's full size once the
// header is read (one pass over the file when the target depends on the
// picture's proportions): choose(fullWidth, fullHeight, targetWidth, targetHeight).
using ChooseTargetSize = std::function<void(int fullWidth, int fullHeight, int& targetWidth, int& targetHeight)>;
void LoadJpegPointSampled(const std::string& path, const ChooseTargetSize& choose, TBitmap& out,
                          int* fullWidth = nullptr, int* fullHeight = nullptr);
// The same for JPEG bytes held in memory.
void DecodeJpegPointSampled(const void* data, size_t size, int targetWidth, int targetHeight, TBitmap& out,
                            int* fullWidth = nullptr, int* fullHeight = nullptr);

// LoadJpegPointSampled followed by EncodeJpeg at the quality, byte for byte,
// with the picture read from its stream's position and the JPEG file written
// to out as it is made: rows go from the decoder through the sampling into
// the encoder, so that neither the full-size nor the sampled picture is held.
// An empty target writes nothing (the file of an empty bitmap). A picture
// that its EXIF orientation turns or flips upside down is made a band of
// upright rows at a time, at most bandBytes of sampled pixels held, the
// picture read from the start again (Seek) for each band after the first.
// Failures raise as the decoder and JpegWriter raise them; out may then hold
// a part of the file.
void WriteJpegPointSampled(Stream& picture, const ChooseTargetSize& choose, int quality, Stream& out,
                           int* fullWidth = nullptr, int* fullHeight = nullptr,
                           size_t bandBytes = imaging::TurnedPictureBandBytes);

// Reads a Windows bitmap (BMP) file.
void LoadBmpFile(const std::string& path, TBitmap& out);

// The bitmap as a baseline JFIF at the quality (1..100) with the library's
// defaults; "" for an empty bitmap.
std::string EncodeJpeg(const TBitmap& bitmap, int quality);
// Encodes, then creates the file (replacing one that exists) and writes it;
// when the encoding fails no file is created. An empty bitmap gives a file of
// 0 bytes.
void SaveJpegFile(const TBitmap& bitmap, const std::string& path, int quality);
