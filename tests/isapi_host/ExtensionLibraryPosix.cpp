#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>

#include "ExtensionLibrary.h"

void* LoadExtensionLibrary(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) error = dlerror();
    return library;
}

void* FindExtensionExport(void* library, const char* name) { return dlsym(library, name); }

bool UnloadExtensionLibrary(void* library) { return dlclose(library) == 0; }

bool ExtensionLibraryStillLoaded(const std::string& path) {
    char resolved[PATH_MAX];
    std::string file = realpath(path.c_str(), resolved) ? resolved : path;
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (!maps) return false;
    char line[PATH_MAX + 256];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps)) {
        size_t n = std::strlen(line);
        if (n && line[n - 1] == '\n') line[--n] = '\0';
        found = n >= file.size() && file == line + n - file.size();
    }
    std::fclose(maps);
    return found;
}
