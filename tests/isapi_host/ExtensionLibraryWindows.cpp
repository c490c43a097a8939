#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "ExtensionLibrary.h"

void* LoadExtensionLibrary(const std::string& path, std::string& error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (!library) error = "error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(library);
}

void* FindExtensionExport(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool UnloadExtensionLibrary(void* library) { return FreeLibrary(static_cast<HMODULE>(library)) != 0; }

bool ExtensionLibraryStillLoaded(const std::string& path) { return GetModuleHandleA(path.c_str()) != nullptr; }
