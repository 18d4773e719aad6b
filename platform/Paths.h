// Where the user's files go: the XDG base directories.
#pragma once

#include <filesystem>
#include <vector>

namespace ravenox::platform {

// The folder an XDG variable names (only an absolute one counts), else $HOME/`fallback`.
std::filesystem::path XdgDir(const char* variable, const char* fallback);

// The program's own data folder, $XDG_DATA_HOME/Brindlemoor/Ravenox: the state files, the debug
// log and the default store, wherever the program was started from.
std::filesystem::path ProgramDataFolder();

// Where earlier versions kept the state files: the folder the program was started from, and on
// Linux the home folder and the old systemd unit's state folder.
std::vector<std::filesystem::path> EarlierDataFolders();

// Makes `folder` (and what leads to it) exist, and leaves `folder` itself to its owner alone
// (0700): what the engine keeps there names meetings and senders. Throws std::system_error.
void MakePrivateFolder(const std::filesystem::path& folder);

}  // namespace ravenox::platform
