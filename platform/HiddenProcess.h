// Starting a process that runs on its own, unseen: no terminal, no inherited
// standard handles, not ended with the process that started it.
#pragma once
#include <string>
#include <vector>

namespace platform {

// Starts program with the arguments in a new session, its standard input,
// output and error on nothing the starter holds (the null device; on Windows
// a console of its own without a window), and this process's environment less
// the variables named in withoutVariables. Does not wait for it. Returns its
// process id, or -1 when it could not be started.
int StartHiddenProcess(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& withoutVariables);

}  // namespace platform
