// Starting with the desktop session: an XDG autostart entry, made once the first settings are saved
// and switched off (kept, marked hidden, so it is not made again) on request.
#pragma once

#include <filesystem>

namespace ravenox::shell {

// $XDG_CONFIG_HOME/autostart/ravenox.desktop
std::filesystem::path AutostartEntryPath();
// Writes the entry for `program`, started in `folder`; `enabled` false marks it hidden.
void WriteAutostartEntry(const std::filesystem::path& program, const std::filesystem::path& folder,
                         bool enabled);
// Makes the entry when there is none yet (an entry switched off stays off). True when it made one.
bool EnsureAutostartEntry(const std::filesystem::path& program,
                          const std::filesystem::path& folder);

}  // namespace ravenox::shell
