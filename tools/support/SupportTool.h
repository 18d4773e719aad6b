// ravenox-inspect: shows supporters what the engine has stored.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace ravenox::shell {

// Runs the tool with its arguments (without the program name). Returns the exit status.
int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace ravenox::shell
