#include "engine/PrivateFolder.h"

#include "engine/HttpUtils.h"
#include "platform/Files.h"
#include "platform/Path.h"

bool HasPrivateFolderSetting() { return !http::GetEnvVar(PrivateFolderVariable).empty(); }

std::string PrivateFolder() {
    std::string module = http::ModulePath();
    std::string programFolder = platform::FolderPart(module);
    std::string setting = http::GetEnvVar(PrivateFolderVariable);
    if (setting.empty()) return programFolder;
    while (setting.size() > 1 && platform::IsSeparator(setting.back())) setting.pop_back();
    std::string folder = platform::IsAbsolutePath(setting) ? setting : programFolder + setting;
    // A folder that cannot be made is still the one used: the files then
    // fail to be written there rather than land in the published folder.
    if (!platform::DirectoryExists(folder)) platform::CreateDirectory(folder);
    return platform::IsSeparator(folder.back()) ? folder : folder + platform::NativeSeparator;
}
