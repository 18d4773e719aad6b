// The record lists' order on Windows: the user's locale, as the system collates it, ignoring case
// but not accents (as ICU's secondary strength does elsewhere).
#include <windows.h>

#include <cctype>
#include <string>

#include "base/Collation.h"

namespace ravenox {
namespace {

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// Only where the system cannot compare (invalid UTF-8 is still compared by the replacement
// characters it is read as): ASCII case folding, then bytes.
int FallbackCompare(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

int CompareText(std::string_view a, std::string_view b) {
  const std::wstring wa = Wide(a), wb = Wide(b);
  const int r = CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, wa.data(),
                                static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()),
                                nullptr, nullptr, 0);
  if (r == 0) return FallbackCompare(a, b);
  return r == CSTR_LESS_THAN ? -1 : (r == CSTR_GREATER_THAN ? 1 : 0);
}

}  // namespace ravenox
