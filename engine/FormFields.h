// The request's form fields and the parsers that fill them from untrusted
// bytes: URL-encoded pairs and Basic credentials.
#pragma once
#include <unordered_map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text.h"

namespace http {

// Sorted list of name=value entries. Order, lookup and duplicates ignore
// letter case; a name given again keeps one entry whose value gathers every
// value in arrival order joined by CR LF, spelled as in its latest occurrence.
// Joining appends in place, so a field repeated n times costs O(total size).
class FormFieldList {
public:
    // Adds a field by the joining rule above.
    void Add(std::string_view name, std::string_view value);
    // Sets (replaces) the value of name, spelled as given, adding it when missing.
    void Set(std::string_view name, std::string_view value);
    void Remove(std::string_view name);
    // The stored value, or nullptr when the name has no entry.
    const std::string* Find(std::string_view name) const;
    size_t Count() const { return fields_.size(); }
    bool Empty() const { return fields_.empty(); }
    void Clear() { fields_.clear(); }
    // Names in list order (sorted, ignoring case).
    std::vector<std::string> Names() const;
    // Entries "name=value" in list order.
    std::vector<std::string> Entries() const;

private:
    struct Field {
        std::string name;
        std::string value;
    };
    // Keyed by the name folded to lower case plus "=": entries never share a
    // name, so ordering by name + "=" is ordering by the whole entry. Hashed,
    // so that parsing stays linear; the order is made when it is asked for.
    std::unordered_map<std::string, Field> fields_;
    std::vector<const std::pair<const std::string, Field>*> Ordered() const;
};

// Splits application/x-www-form-urlencoded text into fields: pairs end at "&"
// (a last pair without "&" is ignored, as the caller appends one); the name
// ends at the first "=", the value starts after the last "=" of the pair and
// is URL-decoded; a pair without "=" or starting with its only "=" ("=x") is
// skipped, while "=a=b" stores "b" under the empty name; names are not
// decoded. A zero byte in the text ends it.
void AddUrlEncodedFields(FormFieldList& list, std::string_view text);

// Decodes the text of an Authorization header ("Basic dXNlcjpwYXNz"): the
// part after the first blank, Base64, split at the first ":" and trimmed of
// bytes 0..32. Without a ":" user and password are left unchanged.
void DecodeBasicCredentials(std::string_view value, std::string& user, std::string& password);

}  // namespace http
