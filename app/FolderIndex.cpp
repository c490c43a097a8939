#include "app/FolderIndex.h"

#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "app/FolderCache.h"
#include "platform/Files.h"
#include "platform/Path.h"
#include "platform/Text.h"

namespace folder_index {
namespace {

struct Listing {
    // The folder as kept between requests, or null: then names holds the
    // listing made for this request.
    std::shared_ptr<folder_cache::FolderSnapshot> kept;
    // Folded name -> on-disk names with that folding, in directory order;
    // with a kept folder, only the files this request created.
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
    listing.kept = folder_cache::Snapshot(folder);
    if (listing.kept) return listing;
    for (const auto& entry : platform::FindFiles(folder + "*"))
        if (!entry.directory) listing.names[text::LowerCase(entry.name)].push_back(entry.name);
    return listing;
}

// The first candidate spelled exactly as name, else the first of all.
const std::string* Choose(const std::vector<std::string>* listed, const std::vector<std::string>* created,
                          const std::string& name) {
    for (const auto* names : {listed, created})
        if (names)
            for (const auto& candidate : *names)
                if (candidate == name) return &candidate;
    for (const auto* names : {listed, created})
        if (names && !names->empty()) return &names->front();
    return nullptr;
}

// A mask whose matches the kept listing answers: "*.ext" with a literal
// extension of followed names.
bool KeptMask(const std::string& pattern) {
    return pattern.size() > 2 && pattern[0] == '*' && pattern[1] == '.' &&
           pattern.find_first_of("*?", 1) == std::string::npos && folder_cache::Followed(pattern);
}

}  // namespace

std::string Existing(const std::string& path) {
    auto [folder, name] = platform::SplitPath(path);
    if (name.empty()) return {};
    Listing& listing = ListingOf(folder);
    bool followed = folder_cache::Followed(name);
    // Answered from the kept listing alone unless this request created files here.
    folder_cache::NoteLookup(folder, listing.kept && followed && listing.names.empty());
    if (listing.kept && !followed) return platform::ExistingFile(path);
    std::string folded = text::LowerCase(name);
    auto created = listing.names.find(folded);
    const std::string* found = Choose(listing.kept ? listing.kept->FilesFolded(folded) : nullptr,
                                      created == listing.names.end() ? nullptr : &created->second, name);
    if (!found) return {};
    return *found == name ? path : folder + *found;
}

std::vector<platform::DirEntry> FindFiles(const std::string& mask) {
    auto [folder, pattern] = platform::SplitPath(mask);
    // Only a kept folder is looked at here: a request that keeps nothing
    // searches the disk as it always did.
    if (KeptMask(pattern) && folder_cache::Snapshot(folder)) {
        Listing& listing = ListingOf(folder);
        // Files this request made are not in the kept listing: the disk knows them.
        if (listing.kept && listing.names.empty()) {
            std::vector<platform::DirEntry> found;
            for (const platform::DirEntry& entry : listing.kept->Entries())
                if (platform::MatchesMask(entry.name, pattern)) found.push_back(entry);
            folder_cache::NoteLookup(folder, true);
            return found;
        }
    }
    folder_cache::NoteLookup(folder, false);
    return platform::FindFiles(mask);
}

void NoteCreated(const std::string& path) {
    auto [folder, name] = platform::SplitPath(path);
    folder_cache::NoteLookup(folder, false);  // the folder is no longer as kept
    auto& listings = Listings();
    auto it = listings.find(folder);
    if (it == listings.end()) return;  // listed afresh on first use
    Listing& listing = it->second;
    std::string folded = text::LowerCase(name);
    if (listing.kept)
        if (const auto* listed = listing.kept->FilesFolded(folded))
            for (const auto& n : *listed)
                if (n == name) return;
    auto& names = listing.names[folded];
    for (const auto& n : names)
        if (n == name) return;
    names.push_back(name);
}

void Reset() { Listings().clear(); }

}  // namespace folder_index
