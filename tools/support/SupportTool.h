// ravenox-inspect: shows supporters what the engine has stored.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace ravenox::shell {

// Runs the tool with its arguments (without the program name). Returns the exit status.
int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The process ends after the run: what was read of a store is left to the exit to take back.
// Freeing a large vdir's objects one by one costs as much as reading a good part of it.
void LeaveStoreToExit();

}  // namespace ravenox::shell
