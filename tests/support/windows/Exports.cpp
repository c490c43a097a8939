// The functions a DLL exports: the names of its export directory, read from
// the library mapped without running its start-up code.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace testing_support {

std::vector<std::string> ExportedFunctions(const std::string& library) {
    HMODULE module = LoadLibraryExW(std::filesystem::path(library).wstring().c_str(), nullptr,
                                    DONT_RESOLVE_DLL_REFERENCES);
    if (!module) return {"(cannot load " + library + ": error " + std::to_string(GetLastError()) + ")"};
    auto* base = reinterpret_cast<const unsigned char*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    if (entry.VirtualAddress && entry.Size) {
        auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
        auto* nameOffsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            names.emplace_back(reinterpret_cast<const char*>(base + nameOffsets[i]));
    }
    FreeLibrary(module);
    return names;
}

}  // namespace testing_support
