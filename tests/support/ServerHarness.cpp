#include "support/ServerHarness.h"

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace testing_support {

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ExchangePrefix(const GalleryFolder& gallery) { return gallery / ("temp/" + gallery.ProgramName() + "_"); }
std::string MarkerFile(const GalleryFolder& gallery) { return ExchangePrefix(gallery) + "s"; }

std::vector<std::string> ExchangeFileNames(const GalleryFolder& gallery) {
    std::vector<std::string> names;
    std::error_code ec;
    std::string prefix = gallery.ProgramName() + "_";
    for (const auto& entry : std::filesystem::directory_iterator(gallery / "temp", ec)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    return names;
}

std::vector<std::string> QueuedRequests(const GalleryFolder& gallery) {
    std::vector<std::string> queued;
    for (auto& name : ExchangeFileNames(gallery))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, "_REQ") == 0) queued.push_back(name);
    return queued;
}

std::unique_ptr<BackgroundProgram> StartServerInstance(const GalleryFolder& gallery) {
    auto server = std::make_unique<BackgroundProgram>(gallery.Program(), std::vector<std::string>{},
                                                      std::map<std::string, std::string>{{"PATH", "/usr/bin:/bin"}});
    std::string lock = gallery / ("temp/" + gallery.ProgramName() + "_S.lock");
    if (!WaitUntil([&] { return std::filesystem::exists(MarkerFile(gallery)) && std::filesystem::exists(lock); }))
        throw std::runtime_error("the server instance did not start");
    return server;
}

}  // namespace testing_support
