// Win-CGI: the web server describes the request in a profile file named by
// the first argument (variables, accepted types, decoded form fields, the
// body's file and the file to write the response to). The same engine serves
// as the resident server instance of the server mode.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/hostings/HttpCgiEngine.h"

class TCGIWinEngine : public THttpCGIEngine {
public:
    explicit TCGIWinEngine(TComponent* owner) : THttpCGIEngine(owner) {}
    void Loaded() override;
    void ServeRequest(Stream* input, Stream* output, StringList* variables) override;
    // A console host's request; this program is never one.
    virtual void RunConsoleRequest() {}

private:
    void CreationHandler(TComponent* sender);
    TNotifyEvent savedCreationHandler_;
    bool creationHandlerInstalled_ = false;
};

// Limits on what a profile can make the engine hold.
constexpr size_t MaxProfileLineLength = 16383;
// A form field taken from a file ([Form External]) may be this long at most;
// a larger stated count is a bad count and drops the entry.
constexpr int64_t MaxFormExternalBytes = 16 * 1024 * 1024;
// Form fields beyond this much encoded input are dropped.
constexpr size_t MaxFormBufferBytes = 64 * 1024 * 1024;

// Reads the lines of a profile: lines end with CR (an LF after it is dropped
// with the next line's leading blanks and control characters); a line longer
// than MaxProfileLineLength keeps its first MaxProfileLineLength characters;
// a last line without CR is not returned.
class ProfileLineReader {
public:
    explicit ProfileLineReader(Stream& input) : input_(input) {}
    bool Next(std::string& line);

private:
    bool Fill();
    Stream& input_;
    char buffer_[4096];
    int64_t pos_ = 0, end_ = 0;
    bool eof_ = false;
};

// What a profile describes besides its variables.
struct ProfileContents {
    std::vector<std::string> accept;  // [Accept] keys whose value is Yes, in file order
    bool hasFormInput = false;        // a [Form Literal] or [Form External] entry was taken
    std::string formInput;            // key=UrlEncode(value)& for each of them
};

// Reads one [Form External] file: up to count bytes of path (fewer when the
// file is shorter). False drops the entry.
using FormExternalReader = std::function<bool(const std::string& path, int64_t count, std::string& content)>;
bool ReadFormExternalFile(const std::string& path, int64_t count, std::string& content);

// Parses a profile from a stream: variables go into the list, the rest into
// contents. Never raises for bad bytes; HTTP_ACCEPT is not added here.
void ParseProfile(Stream& profile, StringList& variables, ProfileContents& contents,
                  const FormExternalReader& readExternal = ReadFormExternalFile);

// Reads the profile file into the variables (with HTTP_ACCEPT when the
// server accepts anything), opens the body (the content file, else the form
// fields, else none) at its start, and the output file for writing at its
// start without truncating it. Raises when the profile cannot be opened.
void ReadProfile(const std::string& profilePath, std::string& outputFileName, Stream*& input,
                 StringList& variables, Stream*& output);

// Start-up of the Win-CGI hosting before any form exists: a Win-CGI request
// arriving while a server instance is alive is handed to it (which ends the
// process).
void WinCgiStartup();
