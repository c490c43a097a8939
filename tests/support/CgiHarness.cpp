#include "support/CgiHarness.h"

#include <filesystem>
#include <stdexcept>

namespace testing_support {

GalleryFolder::GalleryFolder(const std::string& programName) : programName_(programName) {
    std::filesystem::copy_file(PICTORAMA_PROGRAM_PATH, dir_ / programName_);
    // The web server's account must be able to write thumbnails and the trace here.
    std::filesystem::permissions(dir_.Path(), std::filesystem::perms::all);
}

std::map<std::string, std::string> GalleryFolder::Environment(const std::string& query,
                                                              const std::string& method) const {
    return {
        {"GATEWAY_INTERFACE", "CGI/1.1"},
        {"SERVER_SOFTWARE", "lighttpd/1.4.69"},
        {"SERVER_NAME", "localhost"},
        {"SERVER_PORT", "8080"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"REQUEST_METHOD", method},
        {"QUERY_STRING", query},
        {"SCRIPT_NAME", "/" + programName_},
        {"SCRIPT_FILENAME", Program()},
        {"DOCUMENT_ROOT", Path()},
        {"REQUEST_URI", "/" + programName_ + (query.empty() ? "" : "?" + query)},
        {"HTTP_HOST", "localhost:8080"},
        {"REMOTE_ADDR", "127.0.0.1"},
        {"REMOTE_PORT", "50000"},
        {"PATH", "/usr/bin:/bin"},
    };
}

CgiResponse SplitResponse(const ProcessResult& process) {
    CgiResponse r;
    r.process = process;
    size_t end = process.out.find("\r\n\r\n");
    if (end == std::string::npos) {
        r.head = process.out;
        return r;
    }
    r.hasBlankLine = true;
    r.head = process.out.substr(0, end + 2);
    r.body = process.out.substr(end + 4);
    return r;
}

CgiResponse GalleryFolder::Run(const std::map<std::string, std::string>& env, const std::string& input,
                               const std::vector<std::string>& args, double keepInputOpenSeconds,
                               int runAsUid) const {
    return SplitResponse(RunProgram(Program(), args, env, input, keepInputOpenSeconds, 120, runAsUid));
}

CgiResponse GalleryFolder::Get(const std::string& query, const std::map<std::string, std::string>& extra) const {
    auto env = Environment(query);
    for (auto& [k, v] : extra) env[k] = v;
    return Run(env);
}

CgiResponse GalleryFolder::Post(const std::string& body, const std::string& query,
                                const std::map<std::string, std::string>& extra) const {
    auto env = Environment(query, "POST");
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    for (auto& [k, v] : extra) env[k] = v;
    return Run(env, body);
}

std::string WithoutSystemVariables(const std::string& reportBody) {
    std::string kept;
    size_t pos = 0;
    while (pos < reportBody.size()) {
        size_t end = reportBody.find("\r\n", pos);
        end = end == std::string::npos ? reportBody.size() : end + 2;
        std::string line = reportBody.substr(pos, end - pos);
        size_t eq = line.find('=');
        if (!(eq != std::string::npos && line.find("<br>\r\n") != std::string::npos && SetBySystem(line.substr(0, eq))))
            kept += line;
        pos = end;
    }
    return kept;
}

std::vector<std::string> GalleryFolder::TraceLines(bool* crlf) const {
    std::string base = programName_.substr(0, programName_.find('.'));
    std::string text = ReadFile(dir_ / (base + ".tst"));
    std::vector<std::string> lines;
    bool allCrlf = true;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(pos));
            allCrlf = false;
            break;
        }
        std::string line = text.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        else allCrlf = false;
        lines.push_back(line);
        pos = nl + 1;
    }
    if (crlf) *crlf = allCrlf;
    return lines;
}

}  // namespace testing_support
