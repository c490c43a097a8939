// Win-CGI profiles: the sections, entries and line rules of the profile
// reader, from arbitrary bytes. [Form External] files are served from the
// input itself, never from the file system.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/StringList.h"
#include "engine/hostings/WinCgiEngine.h"
#include "platform/Stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    MemoryStream profile;
    profile.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    profile.Seek(0, 0);
    StringList variables(true);
    ProfileContents contents;
    ParseProfile(profile, variables, contents, [&](const std::string& path, int64_t count, std::string& content) {
        if (path.size() % 3 == 0) return false;  // some files are missing
        content = bytes.substr(0, static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(bytes.size()))));
        return true;
    });
    // Touch every result byte.
    size_t sum = contents.formInput.size();
    for (const auto& v : variables.Items()) sum += v.size() + StringList::NameOf(v).size();
    for (const auto& a : contents.accept) sum += a.size();
    if (contents.formInput.size() > MaxFormBufferBytes) __builtin_trap();
    for (const auto& v : variables.Items())
        if (v.size() > MaxProfileLineLength) __builtin_trap();
    return sum == static_cast<size_t>(-1);
}
