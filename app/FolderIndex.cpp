#include "app/FolderIndex.h"

#include <map>
#include <unordered_map>
#include <vector>

#include "platform/Files.h"
#include "platform/Path.h"
#include "platform/Text.h"

namespace folder_index {
namespace {

struct Listing {
    // Folded name -> on-disk names with that folding, in directory order.
    std::unordered_map<std::string, std::vector<std::string>> names;
};

// One set of listings per thread: concurrent requests of a library host each
// keep their own.
std::map<std::string, Listing>& Listings() {
    thread_local std::map<std::string, Listing> listings;
    return listings;
}

Listing& ListingOf(const std::string& folder) {
    auto& listings = Listings();
    auto it = listings.find(folder);
    if (it != listings.end()) return it->second;
    Listing& listing = listings[folder];
    for (const auto& entry : platform::FindFiles(folder + "*"))
        if (!entry.directory) listing.names[text::LowerCase(entry.name)].push_back(entry.name);
    return listing;
}

}  // namespace

std::string Existing(const std::string& path) {
    auto [folder, name] = platform::SplitPath(path);
    if (name.empty()) return {};
    Listing& listing = ListingOf(folder);
    auto it = listing.names.find(text::LowerCase(name));
    if (it == listing.names.end()) return {};
    for (const auto& candidate : it->second)
        if (candidate == name) return path;
    return folder + it->second.front();
}

void NoteCreated(const std::string& path) {
    auto [folder, name] = platform::SplitPath(path);
    auto& listings = Listings();
    auto it = listings.find(folder);
    if (it == listings.end()) return;  // listed afresh on first use
    auto& names = it->second.names[text::LowerCase(name)];
    for (const auto& n : names)
        if (n == name) return;
    names.push_back(name);
}

void Reset() { Listings().clear(); }

}  // namespace folder_index
