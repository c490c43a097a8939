#include "imaging/FormatSupport.h"

#include <cstring>

#include "imaging/Limits.h"
#include "imaging/Orientation.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

namespace imaging {

DecodeClock::DecodeClock() : deadline_(platform::MonotonicSeconds() + FormatMaxDecodeSeconds) {}

bool DecodeClock::Expired() const { return platform::MonotonicSeconds() > deadline_; }

void DecodeClock::Check() const {
    if (Expired()) throw Exception(DecodeTooLongMessage);
}

void CheckPictureCost(int64_t width, int64_t height, int64_t heldBytes) {
    if (width < 0 || height < 0 || width > MaxPixels || height > MaxPixels || width * height > MaxPixels ||
        heldBytes > FormatMaxHeldBytes)
        throw Exception(PictureTooLargeMessage);
}

std::string ReadFileWithin(const std::string& path, int64_t maxBytes) {
    FileStream file(path, platform::OpenMode::Read);
    const int64_t size = file.Size();
    if (size < 0) throw Exception("Stream read error");
    if (size > maxBytes) throw Exception(PictureTooLargeMessage);
    std::string bytes(static_cast<size_t>(size), '\0');
    file.ReadBuffer(bytes.data(), size);
    return bytes;
}

void ComposeOverBackground(const uint8_t* rgba, uint8_t* rgb, int width) {
    static const int background[3] = {FormatBackgroundRed, FormatBackgroundGreen, FormatBackgroundBlue};
    for (int x = 0; x < width; ++x, rgba += 4, rgb += 3) {
        const int a = rgba[3];
        if (a == 255) {
            std::memcpy(rgb, rgba, 3);
            continue;
        }
        for (int i = 0; i < 3; ++i) rgb[i] = static_cast<uint8_t>((rgba[i] * a + background[i] * (255 - a) + 127) / 255);
    }
}

int ExifBlockOrientation(const void* data, size_t size) {
    static const char prefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (!data || size == 0) return 1;
    if (size >= sizeof prefix && std::memcmp(data, prefix, sizeof prefix) == 0) return ExifOrientation(data, size);
    if (size + sizeof prefix > ExifSegmentMaxBytes) return 1;
    std::string block(prefix, sizeof prefix);
    block.append(static_cast<const char*>(data), size);
    return ExifOrientation(block.data(), block.size());
}

}  // namespace imaging
