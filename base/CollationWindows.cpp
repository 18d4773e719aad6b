// The record lists' order on Windows: the user's locale, as the system collates it, ignoring case
// but not accents (as ICU's secondary strength does elsewhere).
#include <windows.h>

#include "base/Collation.h"
#include "base/Utf16.h"

namespace ravenox {

int CompareText(std::string_view a, std::string_view b) {
  const std::wstring wa = WideText(std::string(a)), wb = WideText(std::string(b));
  const int r = CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, wa.data(),
                                static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()),
                                nullptr, nullptr, 0);
  // Where the locale cannot compare them: code units, case folded by the system.
  if (r == 0) {
    const int o = CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(),
                                       static_cast<int>(wb.size()), TRUE);
    return o == 0 ? 0 : o - CSTR_EQUAL;
  }
  return r == CSTR_LESS_THAN ? -1 : (r == CSTR_GREATER_THAN ? 1 : 0);
}

}  // namespace ravenox
