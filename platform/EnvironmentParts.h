// What each system's Environment.cpp gives the shared part (Environment.cpp):
// not for use outside platform/.
#pragma once
#include <string>
#include <vector>

namespace platform::environment_parts {

// The program's arguments, after its own name, as SetCommandLine keeps them.
std::vector<std::string>& Arguments();
// The file of the running module (the library's own inside a library).
std::string LookUpModulePath();

}  // namespace platform::environment_parts
