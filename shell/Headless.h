// Ravenox without windows: for a machine without a display, a server, or a systemd user unit. The
// engine runs with the settings of the settings file, each status text goes to standard output,
// and SIGTERM, SIGINT or SIGHUP stop it the way the end of a desktop session does.
#pragma once

#include <iosfwd>

namespace ravenox::shell {

// Exit status: 0 after a stop by signal, 1 when the engine died or the settings could not be read,
// 2 when Ravenox has not been configured (no saved settings, or no phone address).
// `desktop`: a desktop session is there (its display could not be opened, or windows were not
// wanted): the user's presence is read from it, and without anything to read counts as present.
// Without one the user counts as away.
int RunHeadless(std::ostream& out, std::ostream& err, bool desktop);

}  // namespace ravenox::shell
