// The functions a shared library exports, as nm lists them.
#include <sstream>

#include "support/TestSupport.h"

namespace testing_support {

std::vector<std::string> ExportedFunctions(const std::string& library) {
    ProcessResult nm = RunProgram("/usr/bin/nm", {"-D", "--defined-only", library}, {});
    if (nm.exitCode != 0) return {"(nm failed: " + nm.err + ")"};
    std::istringstream lines(nm.out);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(lines, line))
        if (line.find(" T ") != std::string::npos) names.push_back(line.substr(line.rfind(' ') + 1));
    return names;
}

}  // namespace testing_support
