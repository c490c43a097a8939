// Forwarding to the server instance: variables the client accepts for a
// request file come back from it unchanged, every one of them and nothing
// else, and the body after them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/hostings/ServerMode.h"
#include "platform/Stream.h"

// Input: the variables separated by byte 0xFF (so that CR, LF and zero bytes
// can appear inside them), then byte 0xFE and the body.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string all(reinterpret_cast<const char*>(data), size);
    std::string body;
    size_t bodyAt = all.find('\xFE');
    if (bodyAt != std::string::npos) {
        body = all.substr(bodyAt + 1);
        all.resize(bodyAt);
    }
    std::vector<std::string> variables;
    for (size_t start = 0; !all.empty();) {
        size_t stop = all.find('\xFF', start);
        variables.push_back(all.substr(start, stop == std::string::npos ? std::string::npos : stop - start));
        if (stop == std::string::npos) break;
        start = stop + 1;
    }
    if (!RequestVariablesFault(variables).empty()) return 0;

    // The request file as the client writes it.
    MemoryStream file;
    for (const auto& entry : variables) {
        file.Write(entry.data(), static_cast<int64_t>(entry.size()));
        file.Write("\r\n", 2);
    }
    file.Write("\r\n", 2);
    file.Write(body.data(), static_cast<int64_t>(body.size()));
    file.Seek(0, 0);

    std::vector<std::string> read;
    if (!ReadRequestHead(file, read)) __builtin_trap();
    if (read != variables || !RequestVariablesFault(read).empty()) __builtin_trap();
    std::string rest;
    char piece[256];
    for (int64_t n; (n = file.Read(piece, sizeof piece)) > 0;) rest.append(piece, static_cast<size_t>(n));
    if (rest != body) __builtin_trap();
    return 0;
}
