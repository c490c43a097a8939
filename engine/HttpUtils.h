// Free-standing text routines the hostings share: URL coding, HTTP dates,
// environment variables, line lists, the log file's path, file searches.
// None of them raises on bad input.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace http {

// The engine moves bytes in pieces of at most this many (a request body, a
// response copied between files), and cuts a text it copies from outside
// (a status text, decoded credentials) at this length.
constexpr int PieceBytes = 1032;

bool IsHexDigit(char c);
// "+" becomes a blank, "%XX" a byte; a "%" not followed by two hex digits is kept.
std::string UrlDecode(std::string_view text);
// Blank becomes "+"; ". / 0-9 A-Z \ a-z" are kept; every other byte is %XX (upper-case hex).
std::string UrlEncode(std::string_view text);
// The text with & < > " written as &amp; &lt; &gt; &quot;, for a text
// that goes into HTML (attribute values included); every other byte is kept.
std::string HtmlEscape(std::string_view text);
// Lines ending at CR, LF or CR LF; a zero byte ends the text.
std::vector<std::string> TextToList(std::string_view text);
// The instant (seconds since the epoch) as an RFC 1123 date in GMT:
// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(double epochSeconds);
// The environment variable's value or "" (a long value is returned whole). A
// SERVER_SOFTWARE (exact spelling) that contains "ZB" reads as "".
std::string GetEnvVar(const std::string& name);
// Builds a file path from a base path, a directory and a name (see the log
// file: ComposeFilePath(module, "./log", false, "pictorama.cgi", false, "Log")
// gives <module folder>/log/pictorama.Log). Accepts "/" and "\" as separators,
// and absolute directories and names given with a leading "/" (or a drive).
std::string ComposeFilePath(const std::string& basePath, const std::string& directory, bool takeName,
                            const std::string& name, bool takeExtension, const std::string& extension);
// Full path of the program file, or of the library when the program runs as one.
std::string ModulePath();
// True when something matches mask; directories count only with includeDirectories.
bool FindFile(const std::string& mask, bool includeDirectories, std::string* foundName = nullptr);
std::string ReplaceChar(char from, char to, std::string_view text);
// A client address as a file name: every byte outside A-Z a-z 0-9 . : _ -
// becomes "_" (192.168.1.5 and ::1 stay as they are).
std::string AddressAsFileName(std::string_view address);
// Returns the path unchanged: this platform has no drive letters.
std::string WithSystemDrive(const std::string& path);

}  // namespace http
