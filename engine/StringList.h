// A list of "NAME=value" entries, as the request variables are kept: either
// in the order of addition or kept sorted (ignoring case). Names are looked
// up ignoring case; the first matching entry wins.
#pragma once
#include <string>
#include <string_view>
#include <vector>

class StringList {
public:
    explicit StringList(bool sorted = false) : sorted_(sorted) {}
    // Sorted lists insert in order and ignore an entry equal (ignoring case)
    // to one already present.
    void Add(std::string entry);
    size_t Count() const { return items_.size(); }
    const std::string& operator[](size_t i) const { return items_[i]; }
    const std::vector<std::string>& Items() const { return items_; }
    // Index of the first entry whose name (text before the first "=") matches, or -1.
    long IndexOfName(std::string_view name) const;
    // The value of the first entry with that name, or "".
    std::string Value(std::string_view name) const;
    static std::string_view NameOf(std::string_view entry);
    static std::string_view ValueOf(std::string_view entry);
    // Every entry followed by CR LF.
    std::string Text() const;

private:
    bool sorted_;
    std::vector<std::string> items_;
};
