#include <atomic>
#include <string>

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace platform {

bool MatchesMask(const std::string& name, const std::string& pattern) {
    // Iterative glob with backtracking to the last '*'.
    size_t n = 0, p = 0, starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || text::FoldLower(pattern[p]) == text::FoldLower(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string TemporaryNameBeside(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".~" + std::to_string(ProcessId()) + "." + std::to_string(counter.fetch_add(1));
}

}  // namespace platform
