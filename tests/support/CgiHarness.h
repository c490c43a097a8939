// A gallery folder with the built program copied into it, and requests made
// the way a web server makes them: CGI variables in the environment, the body
// on standard input, the program started in its own folder.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testing_support {

struct CgiResponse {
    ProcessResult process;
    std::string head;  // header block without the empty line
    std::string body;
    bool hasBlankLine = false;
};

class GalleryFolder {
public:
    // programName: the file name the program gets in the folder.
    explicit GalleryFolder(const std::string& programName = "pictorama.cgi");
    const std::string& Path() const { return dir_.Path(); }
    std::string operator/(const std::string& name) const { return dir_ / name; }
    std::string Program() const { return dir_ / programName_; }
    const std::string& ProgramName() const { return programName_; }

    // The variables a web server sets for GET /<programName>?query, with the
    // folder as the document root.
    std::map<std::string, std::string> Environment(const std::string& query = "",
                                                   const std::string& method = "GET") const;
    CgiResponse Get(const std::string& query = "", const std::map<std::string, std::string>& extra = {}) const;
    CgiResponse Post(const std::string& body, const std::string& query = "",
                     const std::map<std::string, std::string>& extra = {}) const;
    CgiResponse Run(const std::map<std::string, std::string>& env, const std::string& input = "",
                    const std::vector<std::string>& args = {}, double keepInputOpenSeconds = 0,
                    int runAsUid = -1) const;
    // Lines of the trace file (without CR LF), and whether every line ended in CR LF.
    std::vector<std::string> TraceLines(bool* crlf = nullptr) const;

private:
    TempDir dir_;
    std::string programName_;
};

CgiResponse SplitResponse(const ProcessResult& process);

// A report page (?S) without the lines of the variables the system added to
// the program's environment (see SetBySystem).
std::string WithoutSystemVariables(const std::string& reportBody);

}  // namespace testing_support
