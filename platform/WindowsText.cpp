#include "platform/WindowsText.h"

#include <windows.h>

#include <cstdio>

namespace ravenox::platform {

// The system's own words for an error code.
std::string SystemMessage(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.'))
    message.pop_back();
  if (!message.empty()) return Utf8Text(message);
  // An HRESULT reads best as Windows' own documents write it.
  if (code >= 0x80000000UL) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", code);
    return std::string("error ") + hex;
  }
  return "error " + std::to_string(code);
}

}  // namespace ravenox::platform
