#include "engine/hostings/WinCgiEngine.h"

#include <memory>

#include "engine/hostings/HostingChoice.h"
#include "engine/hostings/ServerExchange.h"
#include "engine/hostings/ServerMode.h"
#include "engine/HttpUtils.h"
#include "engine/StringList.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

// "[Extra Headers]" -> "EXTRA_HEADERS"
std::string SectionName(const std::string& line) {
    size_t open = line.find('[');
    size_t close = line.find(']', open + 1);
    std::string name = line.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    return http::ReplaceChar(' ', '_', text::UpperCase(text::Trim(name)));
}

// "<path> <count>": the count is the last word, one to ten decimal digits.
bool SplitExternalValue(const std::string& value, std::string& path, int64_t& count) {
    size_t space = value.find_last_of(' ');
    if (space == std::string::npos) return false;
    std::string digits = value.substr(space + 1);
    if (digits.empty() || digits.size() > 10) return false;
    count = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        count = count * 10 + (c - '0');
    }
    path = text::Trim(value.substr(0, space));
    return !path.empty();
}

void AppendFormField(ProfileContents& contents, const std::string& key, std::string_view value) {
    std::string field = key + "=" + http::UrlEncode(value) + "&";
    if (contents.formInput.size() + field.size() > MaxFormBufferBytes) return;
    contents.hasFormInput = true;
    contents.formInput += field;
}

}  // namespace

// ---------------------------------------------------------------------------
// Profile reading

bool ProfileLineReader::Fill() {
    if (eof_) return false;
    int64_t n = input_.Read(buffer_, sizeof buffer_);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    pos_ = 0;
    end_ = n;
    return true;
}

bool ProfileLineReader::Next(std::string& line) {
    line.clear();
    bool leading = true;
    for (;;) {
        if (pos_ >= end_ && !Fill()) return false;  // no CR: the line is not read
        char c = buffer_[pos_++];
        if (c == '\r') return true;
        if (leading && text::IsBlankOrControl(c)) continue;
        leading = false;
        if (line.size() < MaxProfileLineLength) line.push_back(c);
    }
}

bool ReadFormExternalFile(const std::string& path, int64_t count, std::string& content) {
    if (count < 0 || count > MaxFormExternalBytes) return false;
    int error = 0;
    platform::File f = platform::File::TryOpen(http::WithSystemDrive(path), platform::OpenMode::Read, error);
    if (!f.IsOpen()) return false;
    content.clear();
    char piece[2048];
    while (static_cast<int64_t>(content.size()) < count) {
        int64_t want = std::min<int64_t>(count - static_cast<int64_t>(content.size()), sizeof piece);
        int64_t n = f.Read(piece, want);
        if (n < 0) return false;
        if (n == 0) break;  // a shorter file gives what it has
        content.append(piece, static_cast<size_t>(n));
    }
    return true;
}

void ParseProfile(Stream& profile, StringList& variables, ProfileContents& contents,
                  const FormExternalReader& readExternal) {
    ProfileLineReader reader(profile);
    std::string line, section;
    while (reader.Next(line)) {
        if (!line.empty() && line[0] == '[') {
            section = SectionName(line);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = text::Trim(std::string_view(line).substr(0, eq));
        if (key.empty()) continue;
        std::string value = text::Trim(std::string_view(line).substr(eq + 1));
        if (section == "CGI" || section == "SYSTEM" || section == "EXTRA_HEADERS") {
            variables.Add(http::ReplaceChar(' ', '_', key) + "=" + value);
        } else if (section == "ACCEPT") {
            if (text::UpperCase(value) == "YES") contents.accept.push_back(key);
        } else if (section == "FORM_LITERAL") {
            AppendFormField(contents, key, value);
        } else if (section == "FORM_EXTERNAL") {
            std::string path, content;
            int64_t count = 0;
            if (!SplitExternalValue(value, path, count) || count > MaxFormExternalBytes) continue;
            try {
                if (!readExternal(path, count, content)) continue;
            } catch (const std::exception&) {
                continue;
            }
            AppendFormField(contents, key, content);
        }
    }
}

void ReadProfile(const std::string& profilePath, std::string& outputFileName, Stream*& input,
                 StringList& variables, Stream*& output) {
    input = nullptr;
    output = nullptr;
    ProfileContents contents;
    {
        FileStream profile(profilePath, platform::OpenMode::Read);
        ParseProfile(profile, variables, contents);
    }
    if (!contents.accept.empty()) {
        std::string accept;
        for (const auto& key : contents.accept) accept += (accept.empty() ? "" : ",") + key;
        variables.Add("HTTP_ACCEPT=" + accept);
    }
    outputFileName = http::WithSystemDrive(variables.Value("OUTPUT_FILE"));

    std::unique_ptr<Stream> body;
    if (contents.hasFormInput) {
        auto memory = std::make_unique<MemoryStream>();
        memory->Write(contents.formInput.data(), static_cast<int64_t>(contents.formInput.size()));
        body = std::move(memory);
    }
    std::string contentFile = platform::ExistingFile(variables.Value("CONTENT_FILE"));
    if (!contentFile.empty()) body = std::make_unique<FileStream>(contentFile, platform::OpenMode::Read);

    // The server may have made the output file already; it is written from
    // its start and keeps any longer old content after the response.
    int error = 0;
    platform::File out = platform::File::TryOpen(outputFileName, platform::OpenMode::ReadWrite, error);
    std::unique_ptr<Stream> outputStream;
    if (out.IsOpen()) outputStream = std::make_unique<FileStream>(std::move(out));
    else outputStream = std::make_unique<FileStream>(outputFileName, platform::OpenMode::Create);

    if (body) body->Seek(0, 0);
    input = body.release();
    output = outputStream.release();
}

void WinCgiStartup() {
    if (!IsWinCgi() || IsServerLaunch() || !IsServerRunning()) return;
    auto* variables = new StringList(false);
    Stream* input = nullptr;
    Stream* output = nullptr;
    std::string outputFileName;
    try {
        ReadProfile(http::WithSystemDrive(platform::CommandLineArguments()[0]), outputFileName, input, *variables,
                    output);
    } catch (const std::exception&) {
        // Served the ordinary way, which reports the failure.
        delete input;
        delete variables;
        return;
    }
    if (!RequestVariablesFault(variables->Items()).empty()) {
        // The request file cannot carry these variables unchanged: served
        // the ordinary way (which reads the profile again).
        if (input != output) delete input;
        delete output;
        delete variables;
        return;
    }
    ForwardRequestToServer(input, output, variables);
}

// ---------------------------------------------------------------------------
// The engine

void TCGIWinEngine::ServeRequest(Stream* input, Stream* output, StringList* variables) {
    if (!IsWinCgi()) {
        if (input != output) delete input;
        delete output;
        delete variables;
        return;
    }
    if (output) {
        ExecuteRequest(input, output, variables);
        return;
    }
    delete input;
    delete variables;
    // Started by hand without arguments, or by an engine with
    // "$$START_SERVER X": become the server instance.
    if (IsServerLaunch()) {
        if (ServerMode() == 0) SetServerMode(1);
        RunServerLoop(this);
    }
    auto list = std::make_unique<StringList>(true);
    std::string outputFileName;
    Stream* profileInput = nullptr;
    Stream* profileOutput = nullptr;
    ReadProfile(http::WithSystemDrive(platform::CommandLineArguments().at(0)), outputFileName, profileInput, *list,
                profileOutput);
    ExecuteRequest(profileInput, profileOutput, list.release());
}

void TCGIWinEngine::Loaded() {
    THttpCGIEngine::Loaded();
    if (!IsWinCgi()) return;
    auto* form = dynamic_cast<TForm*>(Owner());
    if ((ServerMode() == 0 || IsServerLaunch() || IsServerRunning()) && form && !creationHandlerInstalled_) {
        savedCreationHandler_ = form->OnCreate;
        creationHandlerInstalled_ = true;
        form->OnCreate = [this](TComponent* sender) { CreationHandler(sender); };
        return;
    }
    ServeRequest(nullptr, nullptr, nullptr);
}

void TCGIWinEngine::CreationHandler(TComponent* sender) {
    if ((ServerMode() == 0 || IsServerLaunch() || IsServerRunning()) && savedCreationHandler_)
        savedCreationHandler_(sender);
    ServeRequest(nullptr, nullptr, nullptr);
}
