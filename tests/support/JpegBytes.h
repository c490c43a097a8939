// Making progressive JPEG files by hand in tests, written from the JPEG
// standard (ITU T.81, annex G): a frame of any declared size whose scans are a
// few bytes each, the shape of a hostile picture.
#pragma once
#include <string>

namespace jpeg_bytes {

// A progressive file of width x height with `components` components (1 or 3),
// each sampled 1x1 (so the whole-picture coefficient buffer the decoder keeps
// takes 2 bytes per pixel and component). The first scan is the DC scan of
// all components, without data (its coefficients read as zero); then come
// acScans AC refinement scans over coefficients 1..63, cycling through the
// components, each coding its whole component as end-of-band runs of 32767
// blocks: 15 bits per run, yet the decoder visits every coefficient of every
// block. The file is so a few hundred bytes for any size and scan count that
// a camera picture would need megabytes for.
std::string ProgressiveJpeg(int width, int height, int components, int acScans);

// Scans in the file ProgressiveJpeg makes.
inline int ScanCount(int acScans) { return 1 + acScans; }

}  // namespace jpeg_bytes
