// Feeds arbitrary bytes to the URL-encoded pair scan and checks the list it
// builds against a straightforward model of the same rules: the text scanned
// in a NUL-terminated copy whose separators are overwritten, fields kept in
// arrival order and joined by a linear case-insensitive search.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "engine/FormFields.h"
#include "engine/HttpUtils.h"
#include "platform/Text.h"

namespace {

using Model = std::vector<std::pair<std::string, std::string>>;

Model ModelFields(const uint8_t* data, size_t size) {
    std::string buffer(reinterpret_cast<const char*>(data), size);
    buffer.push_back('\0');
    size_t length = std::string(buffer.c_str()).size();
    Model model;
    size_t start = 0, eq = 0;
    for (size_t i = 0; i < length; ++i) {
        if (buffer[i] == '=') {
            buffer[i] = '\0';
            eq = i;
        } else if (buffer[i] == '&') {
            buffer[i] = '\0';
            if (eq > start) {
                std::string name = buffer.c_str() + start;
                std::string value = http::UrlDecode(buffer.c_str() + eq + 1);
                bool joined = false;
                for (auto& field : model) {
                    if (text::EqualsIgnoreCase(field.first, name)) {
                        field.first = name;
                        field.second += "\r\n" + value;
                        joined = true;
                    }
                }
                if (!joined) model.emplace_back(name, value);
            }
            start = i + 1;
        }
    }
    return model;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    http::FormFieldList list;
    http::AddUrlEncodedFields(list, input);

    std::vector<std::string> names = list.Names();
    std::vector<std::string> entries = list.Entries();
    if (names.size() != list.Count() || entries.size() != list.Count()) abort();
    // Sorted by the whole entry ignoring case, which for unique names is name + "=".
    for (size_t i = 1; i < names.size(); ++i)
        if (text::CompareIgnoreCase(names[i - 1] + "=", names[i] + "=") >= 0) abort();

    Model model = ModelFields(data, size);
    if (model.size() != list.Count()) abort();
    for (const auto& [name, value] : model) {
        const std::string* stored = list.Find(name);
        if (!stored || *stored != value) abort();
    }
    // Spelled as in the latest occurrence, in entry order.
    std::sort(model.begin(), model.end(), [](const auto& a, const auto& b) {
        return text::CompareIgnoreCase(a.first + "=", b.first + "=") < 0;
    });
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] != model[i].first) abort();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string* stored = list.Find(names[i]);
        if (!stored || entries[i] != names[i] + "=" + *stored) abort();
        if (names[i].find('=') != std::string::npos || names[i].find('&') != std::string::npos) abort();
    }
    return 0;
}
