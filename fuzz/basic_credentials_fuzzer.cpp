// Basic credentials from arbitrary header text: the parts that come out are
// trimmed and no longer than the text can carry; and a user name and password
// made from the input, encoded the standard way, come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/FormFields.h"

namespace {

std::string Base64(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t bits = 0;
        for (size_t k = 0; k < 3; ++k) bits = (bits << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out.push_back(k <= n ? alphabet[(bits >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

bool IsTrimmed(const std::string& s) {
    return s.empty() || (static_cast<unsigned char>(s.front()) > 32 && static_cast<unsigned char>(s.back()) > 32);
}

std::string Trim(const std::string& s) {
    size_t first = 0, last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= 32) ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= 32) --last;
    return s.substr(first, last - first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);

    std::string user = "\x01unset", password = "\x01unset";
    http::DecodeBasicCredentials(input, user, password);
    bool changed = user != "\x01unset" || password != "\x01unset";
    if (changed) {
        if (!IsTrimmed(user) || !IsTrimmed(password)) abort();
        // At most three bytes per four characters, and a ":" between the parts.
        if (user.size() + 1 + password.size() > input.size() / 4 * 3) abort();
    }

    // The input split at its first byte 0xFF into a user name (without ":")
    // and a password: encoded and decoded they must come back as they went in.
    size_t cut = input.find('\xFF');
    std::string name = input.substr(0, cut), secret = cut == std::string::npos ? "" : input.substr(cut + 1);
    for (char& c : name)
        if (c == ':') c = '_';
    name = Trim(name);
    secret = Trim(secret);
    std::string header = "Basic " + Base64(name + ":" + secret);
    std::string decodedUser, decodedPassword;
    http::DecodeBasicCredentials(header, decodedUser, decodedPassword);
    if (header.size() - 6 <= 1032) {
        if (decodedUser != name || decodedPassword != secret) abort();
    }
    return 0;
}
