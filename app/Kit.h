// Common path and string routines of the gallery. They hold no state and
// never raise. Routines that take names apart accept both "/" and "\";
// routines that append a separator use the native one ("/", "\" on Windows).
#pragma once
#include <string>

namespace kit {

// Without leading and trailing bytes 0..32.
std::string TrimBlanks(const std::string& text);
// The path with the native separator appended unless it is empty or already
// ends in "/" (or in "\" on Windows).
std::string WithTrailingSeparator(const std::string& path);
// Up to and including the last separator (the later-first of "\" and "/");
// unchanged when the separator does not occur. "/pictorama.cgi" gives "/".
std::string DirectoryPart(const std::string& path);
// The folder of the running program (or library), ending in its separator.
std::string ProgramDirectory();
// The last component, after the last "\" or "/".
std::string FileNamePart(const std::string& path);
// After the last "." of the last component, without the dot; "" if none.
std::string ExtensionPart(const std::string& path);
// Before the last "." anywhere in the argument; the argument if it has none.
std::string WithoutExtension(const std::string& path);

}  // namespace kit
