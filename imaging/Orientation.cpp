#include "imaging/Orientation.h"

#include <cstring>

#include <libexif/exif-data.h>

namespace imaging {

namespace {

// By default libexif adds the entries it deems mandatory to what it read and
// rewrites others (EXIF_DATA_OPTION_FOLLOW_SPECIFICATION); we want only what
// the file says.
ExifData* LoadExif(const void* data, size_t size) {
    ExifData* exif = exif_data_new();
    if (!exif) return nullptr;
    exif_data_unset_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_option(exif, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_load_data(exif, static_cast<const unsigned char*>(data), static_cast<unsigned int>(size));
    return exif;
}

}  // namespace

int ExifOrientation(const void* data, size_t size) {
    static const char header[] = {'E', 'x', 'i', 'f', 0, 0};
    if (!data || size < sizeof header || size > ExifSegmentMaxBytes) return 1;
    if (std::memcmp(data, header, sizeof header) != 0) return 1;
    ExifData* exif = LoadExif(data, size);
    if (!exif) return 1;
    int orientation = 1;
    ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (entry && entry->format == EXIF_FORMAT_SHORT && entry->components >= 1 && entry->data && entry->size >= 2) {
        int value = exif_get_short(entry->data, exif_data_get_byte_order(exif));
        if (value >= 1 && value <= 8) orientation = value;
    }
    exif_data_unref(exif);
    return orientation;
}

void StoredPosition(int orientation, int x, int y, int storedWidth, int storedHeight, int& storedX, int& storedY) {
    const int right = storedWidth - 1, bottom = storedHeight - 1;
    switch (orientation) {
        case 2: storedX = right - x; storedY = y; break;
        case 3: storedX = right - x; storedY = bottom - y; break;
        case 4: storedX = x; storedY = bottom - y; break;
        case 5: storedX = y; storedY = x; break;
        case 6: storedX = y; storedY = bottom - x; break;
        case 7: storedX = right - y; storedY = bottom - x; break;
        case 8: storedX = right - y; storedY = x; break;
        default: storedX = x; storedY = y; break;
    }
}

TBitmap OrientUpright(const TBitmap& stored, int orientation) {
    if (orientation < 2 || orientation > 8) return stored;
    const int sw = stored.Width(), sh = stored.Height();
    const int width = SwapsSides(orientation) ? sh : sw, height = SwapsSides(orientation) ? sw : sh;
    const bool indexed = stored.GetPixelFormat() == pf8bit;
    const int bytes = stored.BytesPerPixel();
    TBitmap upright;
    if (indexed) upright.SetPixelFormat(pf8bit);
    upright.SetSize(width, height);
    if (indexed) upright.SetPalette(stored.Palette());
    for (int y = 0; y < height; ++y) {
        uint8_t* target = upright.MutableScanLine(y);
        for (int x = 0; x < width; ++x) {
            int sx = 0, sy = 0;
            StoredPosition(orientation, x, y, sw, sh, sx, sy);
            std::memcpy(target + static_cast<size_t>(x) * bytes, stored.ScanLine(sy) + static_cast<size_t>(sx) * bytes,
                        static_cast<size_t>(bytes));
        }
    }
    return upright;
}

}  // namespace imaging
