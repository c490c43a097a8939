// A picture of any format written as a JPEG file straight from its decoder
// through the point sampling into the encoder: the slide, and the JPEG a
// browser is given in place of a picture it cannot show. Neither the
// full-size nor the sampled picture is held.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>

#include "imaging/Limits.h"
#include "imaging/PictureFormat.h"
#include "imaging/PointSampler.h"

class Stream;

namespace imaging {

// Opens the picture anew, as a decoder at its start.
using DecoderOpener = std::function<std::unique_ptr<PictureDecoder>()>;

// DecodePointSampled followed by the JPEG encoder at the quality, byte for
// byte the file EncodeJpeg makes of that bitmap, written to out as the rows
// are made. Rows whose picture turns upright in the order they are stored
// (EXIF orientations 1 and 2) go to the encoder as they are sampled; a
// picture its orientation turns or flips upside down is made a band of
// upright rows at a time, at most bandBytes of sampled pixels held, the
// picture opened and decoded again for each band after the first. An empty
// target writes nothing (the file of an empty bitmap). Failures raise as
// the decoder and the encoder raise them; out may then hold a part of the
// file.
void WritePointSampledJpeg(const DecoderOpener& open, const TargetChooser& choose, int quality, Stream& out,
                           int* fullWidth = nullptr, int* fullHeight = nullptr,
                           size_t bandBytes = TurnedPictureBandBytes);

}  // namespace imaging
