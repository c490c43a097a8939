#include <dlfcn.h>

#include "ExtensionLibrary.h"

void* LoadExtensionLibrary(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) error = dlerror();
    return library;
}

void* FindExtensionExport(void* library, const char* name) { return dlsym(library, name); }
