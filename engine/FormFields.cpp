#include "engine/FormFields.h"

#include <algorithm>

#include <cstdint>

#include "engine/HttpUtils.h"

namespace http {
namespace {

std::string KeyOf(std::string_view name) {
    std::string key = text::LowerCase(name);
    key.push_back('=');
    return key;
}

// Six bits per Base64 alphabet character, 0 for "=", -1 for anything else.
int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 0;
    return -1;
}

constexpr size_t MaxCredentialText = http::PieceBytes;

}  // namespace

void FormFieldList::Add(std::string_view name, std::string_view value) {
    auto [it, added] = fields_.try_emplace(KeyOf(name));
    Field& field = it->second;
    if (added) {
        field.value.assign(value);
    } else {
        // Appending in place keeps a name repeated n times linear in its values.
        field.value.append("\r\n");
        field.value.append(value);
    }
    field.name.assign(name);
}

void FormFieldList::Set(std::string_view name, std::string_view value) {
    Field& field = fields_[KeyOf(name)];
    field.name.assign(name);
    field.value.assign(value);
}

void FormFieldList::Remove(std::string_view name) { fields_.erase(KeyOf(name)); }

const std::string* FormFieldList::Find(std::string_view name) const {
    auto it = fields_.find(KeyOf(name));
    return it == fields_.end() ? nullptr : &it->second.value;
}

std::vector<const std::pair<const std::string, FormFieldList::Field>*> FormFieldList::Ordered() const {
    std::vector<const std::pair<const std::string, Field>*> ordered;
    ordered.reserve(fields_.size());
    for (const auto& entry : fields_) ordered.push_back(&entry);
    std::sort(ordered.begin(), ordered.end(), [](auto* a, auto* b) { return a->first < b->first; });
    return ordered;
}

std::vector<std::string> FormFieldList::Names() const {
    std::vector<std::string> names;
    names.reserve(fields_.size());
    for (const auto* entry : Ordered()) names.push_back(entry->second.name);
    return names;
}

std::vector<std::string> FormFieldList::Entries() const {
    std::vector<std::string> entries;
    entries.reserve(fields_.size());
    for (const auto* entry : Ordered()) entries.push_back(entry->second.name + "=" + entry->second.value);
    return entries;
}

void AddUrlEncodedFields(FormFieldList& list, std::string_view text) {
    size_t length = text.find('\0');
    if (length != std::string_view::npos) text = text.substr(0, length);
    // start: first byte of the current pair; eq: the last "=" seen so far,
    // which belongs to the current pair only when it lies after start.
    size_t start = 0, eq = 0, firstEq = std::string_view::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') {
            eq = i;
            if (firstEq == std::string_view::npos) firstEq = i;
        } else if (text[i] == '&') {
            if (eq > start) {
                // The name ends at the pair's first "=": with a leading "="
                // ("=a=b") it is empty, and the pair is still taken.
                std::string_view name = text.substr(start, firstEq - start);
                list.Add(name, UrlDecode(text.substr(eq + 1, i - eq - 1)));
            }
            start = i + 1;
            firstEq = std::string_view::npos;
        }
    }
}

void DecodeBasicCredentials(std::string_view value, std::string& user, std::string& password) {
    size_t blank = value.find(' ');
    if (blank != std::string_view::npos) value = value.substr(blank + 1, MaxCredentialText);

    std::string decoded;
    decoded.reserve(value.size() / 4 * 3);
    uint32_t bits = 0;
    int counted = 0;
    for (char c : value) {
        // Characters outside the alphabet take a place in the group but add no bits.
        int v = Base64Value(c);
        if (v >= 0) bits = (bits << 6) | static_cast<uint32_t>(v);
        if (++counted == 4) {
            decoded.push_back(static_cast<char>((bits >> 16) & 0xFF));
            decoded.push_back(static_cast<char>((bits >> 8) & 0xFF));
            decoded.push_back(static_cast<char>(bits & 0xFF));
            bits = 0;
            counted = 0;
        }
    }

    size_t colon = decoded.find(':');
    if (colon == std::string::npos) return;
    user = text::Trim(std::string_view(decoded).substr(0, colon));
    password = text::Trim(std::string_view(decoded).substr(colon + 1, MaxCredentialText));
}

}  // namespace http
