// Texts between the project (UTF-8) and the Windows API (UTF-16), and the system's words for an
// error code.
#pragma once

#include <string>

namespace ravenox::platform {

// Invalid UTF-8 becomes replacement characters.
std::wstring WideText(const std::string& text);
std::string Utf8Text(const std::wstring& text);
// What FormatMessage says of `code` (a Win32 error), without its full stop.
std::string SystemMessage(unsigned long code);

}  // namespace ravenox::platform
