// The slides the slideshow has made, kept in the private folder so that a
// picture is decoded once for the slideshow, not on every request that shows
// it. A kept slide is named after the version of its picture (the file's
// number on its device, size and times), so that a picture replaced or
// changed gets a new one; the slide file is then only put in place: linked
// from the kept slide under a temporary name and renamed, or, where the two
// folders cannot share a file, copied.
#pragma once
#include <cstdint>
#include <string>

#include "platform/File.h"

// How many slides are kept and how many bytes they may take together; past
// either, the least recently shown go first (never the one just made).
constexpr int MaxKeptSlides = 256;
constexpr int64_t MaxKeptSlideBytes = int64_t(64) * 1024 * 1024;
// The kept slides' names in the private folder: this prefix and 16 hex digits;
// their temporary files and claims add to that name and are removed once
// older than KeptSlideLeftoverSeconds (left by a process that died).
constexpr const char* KeptSlidePrefix = "t_SLIDEIMAGE.~";
constexpr double KeptSlideLeftoverSeconds = 3600;

// Puts the slide of the JPEG picture at picture (its on-disk path), fitted to
// height and written at quality, in place under the two names slidePath and
// alsoAs (one file, both names replaced at once), making it from the picture
// only when no slide of this version of it is kept. A picture that cannot be
// decoded gives an empty slide, as the bitmap routines give it. Failures to
// put it in place are ignored. Returns the width its trace line shows
// (LoadFittedFile's).
int PutSlideInPlace(const std::string& picture, int height, int quality, const std::string& slidePath,
                    const std::string& alsoAs);

// Keeps the most recently shown slides kept in the folder within maxSlides
// and maxBytes, newest (the one just made) among them whatever its time, and
// removes the temporary files and claims of kept slides older than
// KeptSlideLeftoverSeconds.
void MakeRoomForKeptSlides(const std::string& folder, const std::string& newest, int maxSlides = MaxKeptSlides,
                           int64_t maxBytes = MaxKeptSlideBytes);

// The kept slide of a version of a picture, made at height and quality.
std::string KeptSlidePath(const platform::FileVersion& picture, int height, int quality);
