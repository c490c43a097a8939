#include "engine/hostings/ServerExchange.h"

#include <cstdio>

#include "engine/HttpUtils.h"
#include "engine/PrivateFolder.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Path.h"
#include "platform/PresenceLock.h"
#include "platform/Process.h"

namespace {

bool g_serverProcess = false;
// Longer addresses are cut in exchange file names.
constexpr size_t MaxAddressBytes = 64;

}  // namespace

bool ExchangeFileExists(const std::string& path) {
    double t = 0;
    return platform::FileModificationTime(path, t);
}

std::string ServerWorkDirectory() { return PrivateFolder() + "temp"; }

std::string ServerFilePrefix() {
    return ServerWorkDirectory() + platform::NativeSeparator + platform::FileNameOf(http::ModulePath()) + "_";
}

std::string ServerMarkerFile() { return ServerFilePrefix() + "s"; }

std::string ServerPresenceFile() {
    return ServerWorkDirectory() + platform::NativeSeparator + platform::FileNameOf(http::ModulePath()) + "_S.lock";
}

bool IsServerRunning() {
    if (g_serverProcess) return true;
    double modified = 0;
    if (!platform::FileModificationTime(ServerMarkerFile(), modified)) return false;
    if (modified <= platform::NowSeconds() - ServerRequestWriteSeconds) return false;
    // A server that was killed leaves a fresh marker behind; only one that
    // still holds its presence lock can answer.
    return platform::IsPresent(ServerPresenceFile());
}

void SetServerProcess(bool value) { g_serverProcess = value; }
bool IsServerProcess() { return g_serverProcess; }

std::string FileNameAddress(std::string_view address) {
    return http::ReplaceChar('.', '-', http::AddressAsFileName(address.substr(0, MaxAddressBytes)));
}

std::string RequestBaseName(const std::string& prefix, std::string_view address, uint32_t random) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%05X", random);
    return prefix + FileNameAddress(address) + "_" + hex;
}

void DeleteWithRetries(const std::string& path) {
    for (int attempt = 0; attempt < 11; ++attempt) {
        if (platform::DeleteFile(path) || !ExchangeFileExists(path)) break;
        platform::SleepMilliseconds(50);
    }
}

void DeleteOldFiles(const std::string& pattern, double moment) {
    std::string folder = platform::FolderPart(pattern);
    for (const auto& entry : platform::FindFiles(pattern)) {
        if (entry.directory) continue;
        std::string path = folder + entry.name;
        double modified = 0;
        if (!platform::FileModificationTime(path, modified) || modified >= moment) continue;
        DeleteWithRetries(path);
    }
}
