#include "support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() : path_(NewTempFolder()) {}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may remove permissions; give them back so that everything can go.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

ExecVectors::ExecVectors(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env) {
    for (auto& [k, v] : env) envStrings_.push_back(k + "=" + v);
    for (auto& e : envStrings_) envp_.push_back(e.data());
    envp_.push_back(nullptr);
    argStrings_.push_back(program);
    argStrings_.insert(argStrings_.end(), args.begin(), args.end());
    for (auto& a : argStrings_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
}


}  // namespace testing_support
