// Feeds arbitrary bytes as the request headers a server reports in ALL_HTTP
// (the visitor's own text) through the variable collection of the extension
// hosting, with a server that either cuts a value to the buffer or refuses
// the buffer and names the size it needs. Checks the list against a model of
// the split: one trimmed NAME=value entry per line with a ":" or "=".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/hostings/IsapiEngine.h"
#include "platform/Text.h"

using namespace isapi;

namespace {

struct Server {
    std::string allHttp;
    bool refuse = false;
};

BOOL GetVariable(HCONN c, LPSTR name, LPVOID buffer, LPDWORD size) {
    auto* s = static_cast<Server*>(c);
    if (std::strcmp(name, "ALL_HTTP") != 0) return False;
    DWORD needed = static_cast<DWORD>(s->allHttp.size() + 1);
    if (needed > *size) {
        if (s->refuse || *size == 0) {
            *size = needed;
            return False;
        }
        std::memcpy(buffer, s->allHttp.data(), *size - 1);
        static_cast<char*>(buffer)[*size - 1] = '\0';
        return True;
    }
    std::memcpy(buffer, s->allHttp.c_str(), needed);
    *size = needed;
    return True;
}

std::string Trimmed(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && static_cast<unsigned char>(s[a]) <= 32) ++a;
    while (b > a && static_cast<unsigned char>(s[b - 1]) <= 32) --b;
    return std::string(s.substr(a, b - a));
}

std::vector<std::string> ModelEntries(const std::string& value) {
    std::vector<std::string> entries;
    std::string rest = value + "\n";
    while (rest.size() > 2) {
        size_t lf = rest.find('\n');
        std::string part = rest.substr(0, lf);
        rest.erase(0, lf + 1);
        size_t sep = part.find(':');
        if (sep == std::string::npos) sep = part.find('=');
        if (sep == std::string::npos) continue;
        part[sep] = '=';
        entries.push_back(Trimmed(part));
    }
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Server server;
    server.refuse = data[0] & 1;
    server.allHttp.assign(reinterpret_cast<const char*>(data + 1), size - 1);

    EXTENSION_CONTROL_BLOCK ecb{};
    ecb.cbSize = sizeof ecb;
    ecb.ConnID = &server;
    ecb.GetServerVariable = &GetVariable;
    Context().hostData = &ecb;
    std::unique_ptr<StringList> list(CollectIsapiVariables());
    Context().hostData = nullptr;

    // The server hands over a C string: the value ends at its first NUL.
    std::string value = Trimmed(std::string_view(server.allHttp.c_str()));
    const auto& items = list->Items();
    for (size_t i = 1; i < items.size(); ++i)
        if (text::CompareIgnoreCase(items[i - 1], items[i]) >= 0) abort();
    auto has = [&](const std::string& entry) {
        for (const std::string& item : items)
            if (text::EqualsIgnoreCase(item, entry)) return true;
        return false;
    };
    if (!has("ALL_HTTP=" + value) || !has("CONTENT_LENGTH=0")) abort();
    for (const std::string& entry : ModelEntries(value))
        if (!has(entry)) abort();
    return 0;
}
