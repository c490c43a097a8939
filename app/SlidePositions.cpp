#include "app/SlidePositions.h"

#include <algorithm>
#include <set>
#include <vector>

#include "app/Kit.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

namespace {
const char* const Prefix = "SlideNext";
const char* const Suffix = ".txt";

// "SlideNext" + bytes of a safe address (A-Z a-z 0-9 . : _ -) + ".txt".
bool IsPositionName(const std::string& name) {
    size_t prefix = std::char_traits<char>::length(Prefix), suffix = std::char_traits<char>::length(Suffix);
    if (name.size() < prefix + suffix || !text::StartsWith(name, Prefix) || !text::EndsWith(name, Suffix))
        return false;
    for (size_t i = prefix; i < name.size() - suffix; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == ':' || c == '_' || c == '-';
        if (!safe) return false;
    }
    return true;
}

bool HoldsAPosition(const std::string& path) {
    try {
        int32_t index = 0;
        return text::TryStrToInt(platform::ReadFirstTextLine(path), index);
    } catch (...) {
        return false;  // gone meanwhile, or unreadable: not ours to judge
    }
}

struct Position {
    std::string name;
    double used = 0;
};
}  // namespace

void MakeRoomForSlidePosition(const std::string& folder) {
    std::vector<Position> positions;
    std::set<std::string> sharedBases;  // folded base names that other files use too
    for (const auto& entry : platform::FindFiles(folder + Prefix + "*")) {
        if (entry.directory) continue;
        if (!IsPositionName(entry.name)) {
            sharedBases.insert(text::LowerCase(kit::WithoutExtension(entry.name)));
            continue;
        }
        Position p;
        p.name = entry.name;
        if (platform::FileModificationTime(folder + entry.name, p.used)) positions.push_back(std::move(p));
    }
    std::sort(positions.begin(), positions.end(), [](const Position& a, const Position& b) { return a.used > b.used; });
    double oldest = platform::NowSeconds() - SlidePositionLifetimeSeconds;
    size_t kept = 0;
    for (const Position& p : positions) {
        if (sharedBases.count(text::LowerCase(kit::WithoutExtension(p.name)))) continue;
        if (p.used >= oldest && kept + 1 < SlidePositionCeiling) {
            ++kept;
            continue;
        }
        std::string path = folder + p.name;
        // Another request may have removed or renewed it meanwhile: a failed
        // removal is no error.
        if (HoldsAPosition(path)) platform::DeleteFile(path);
    }
}
