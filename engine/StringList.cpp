#include "engine/StringList.h"

#include <algorithm>

#include "platform/Text.h"

void StringList::Add(std::string entry) {
    if (!sorted_) {
        items_.push_back(std::move(entry));
        return;
    }
    auto it = std::lower_bound(items_.begin(), items_.end(), entry, text::LessIgnoreCase());
    if (it != items_.end() && text::CompareIgnoreCase(*it, entry) == 0) return;
    items_.insert(it, std::move(entry));
}

std::string_view StringList::NameOf(std::string_view entry) {
    size_t eq = entry.find('=');
    return eq == std::string_view::npos ? entry : entry.substr(0, eq);
}

std::string_view StringList::ValueOf(std::string_view entry) {
    size_t eq = entry.find('=');
    return eq == std::string_view::npos ? std::string_view() : entry.substr(eq + 1);
}

long StringList::IndexOfName(std::string_view name) const {
    for (size_t i = 0; i < items_.size(); ++i) {
        std::string_view entry = items_[i];
        size_t eq = entry.find('=');
        if (eq != std::string_view::npos && text::EqualsIgnoreCase(entry.substr(0, eq), name))
            return static_cast<long>(i);
    }
    return -1;
}

std::string StringList::Value(std::string_view name) const {
    long i = IndexOfName(name);
    return i < 0 ? std::string() : std::string(ValueOf(items_[static_cast<size_t>(i)]));
}

std::string StringList::Text() const {
    std::string result;
    for (const auto& item : items_) {
        result += item;
        result += "\r\n";
    }
    return result;
}
