// Loading the library under test and looking up its exports, as the web
// server does on its system (one implementation per system beside this file).
#pragma once
#include <string>

// The loaded library, or null with error saying why.
void* LoadExtensionLibrary(const std::string& path, std::string& error);
// The export's address, or null when the library has none of that name.
void* FindExtensionExport(void* library, const char* name);
// Gives the library back, as a server does that loads it for a while only.
bool UnloadExtensionLibrary(void* library);
// Whether the library of that path is still in the process (after its last
// unload: whether the system really took it out).
bool ExtensionLibraryStillLoaded(const std::string& path);
