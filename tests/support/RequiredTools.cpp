#include "support/RequiredTools.h"

#include <cstdlib>

namespace testing_support {

bool RunningInCi() {
    const char* value = std::getenv("CI");
    if (!value) return false;
    std::string v = value;
    return !v.empty() && v != "0" && v != "false" && v != "FALSE" && v != "False" && v != "no";
}

std::string MissingToolMessage(const std::string& tool) {
    if (RunningInCi()) return "MISSING TOOL: " + tool + " is not installed, and CI runs every test (./run setup installs it)";
    return "MISSING TOOL: " + tool + " is not installed: this test was NOT run (./run setup installs it)";
}

}  // namespace testing_support
