// Where the user's files go: the XDG base directories.
#pragma once

#include <filesystem>

namespace ravenox::platform {

// The folder an XDG variable names (only an absolute one counts), else $HOME/`fallback`.
std::filesystem::path XdgDir(const char* variable, const char* fallback);

}  // namespace ravenox::platform
