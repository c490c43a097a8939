// The picture formats the gallery lists, steps through and reads: the site
// owner's setting PICTORAMA_FORMATS, read from the process's environment
// (for a resident process, from the environment it was started with).
//   unset, empty or "classic"  .jpg and .gif, as the gallery always had
//   "all"                      also .png, .webp, .heic, .heif and .avif
//   a list ("jpg gif heic png", blanks or commas between, any letter case)
//                              the extensions named; "classic" and "all"
//                              may stand in it for theirs
// A word that names none of these is passed over. The pages list the
// enabled extensions in one order whatever the setting's: .jpg, .gif, .png,
// .webp, .heic, .heif, .avif.
#pragma once
#include <string>
#include <vector>

namespace imaging {
class PictureFormat;
}

// The extensions a setting enables, lower case with the dot, in page order.
std::vector<std::string> ParsePictureFormats(const std::string& setting);
// The extensions the process's setting enables, in page order.
std::vector<std::string> PictureExtensions();
// Whether the process's setting enables more than .jpg and .gif.
bool NewFormatsEnabled();

// The decoder of a picture file, chosen by its extension: the enabled
// format's, else JPEG for .jpg, GIF for .gif and BMP for anything else.
const imaging::PictureFormat& PictureFormatOf(const std::string& path);

// Whether the process's setting enables the extension of the picture name.
bool ExtensionEnabled(const std::string& name);

// Whether the picture is one that browsers other than Safari cannot show
// (.heic, .heif, enabled): its link leads to a JPEG the gallery makes of it.
bool NeedsBrowserCopy(const std::string& name);
