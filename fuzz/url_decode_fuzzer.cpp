// URL decoding of arbitrary bytes: never longer than its input, the identity
// on text without "%" or "+", and the exact inverse of the encoder, whose
// output holds only the bytes it keeps.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/HttpUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);

    std::string decoded = http::UrlDecode(input);
    if (decoded.size() > input.size()) abort();
    if (input.find_first_of("%+") == std::string_view::npos && decoded != input) abort();

    std::string encoded = http::UrlEncode(input);
    for (char c : encoded) {
        bool kept = c == '+' || c == '%' || c == '.' || c == '/' || c == '\\' || (c >= '0' && c <= '9') ||
                    (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!kept) abort();
    }
    if (http::UrlDecode(encoded) != input) abort();
    return 0;
}
