// Texts between the project (UTF-8) and the Windows API (UTF-16). Windows only.
#pragma once

#include <string>

namespace ravenox {

// Invalid UTF-8 becomes replacement characters.
std::wstring WideText(const std::string& text);
std::string Utf8Text(const std::wstring& text);

}  // namespace ravenox
