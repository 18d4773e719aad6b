// The user's short date and long time formats (the locale's %x and %X).
#pragma once

#include <string>

#include "base/DateTime.h"

namespace ravenox {

std::string FormatShortDate(TDateTime t);
std::string FormatLongTime(TDateTime t);
// Short date, one space, long time: the stamp of log lines and wait messages.
std::string FormatDateTime(TDateTime t);

}  // namespace ravenox
