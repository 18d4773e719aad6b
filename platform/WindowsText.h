// Texts between the project (UTF-8) and the Windows API (UTF-16), and the system's words for an
// error code.
#pragma once

#include <string>

#include "base/Utf16.h"

namespace ravenox::platform {

using ravenox::Utf8Text;
using ravenox::WideText;
// What FormatMessage says of `code` (a Win32 error), without its full stop.
std::string SystemMessage(unsigned long code);

}  // namespace ravenox::platform
