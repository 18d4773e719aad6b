#include "base/Collation.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <cctype>
#include <cstring>
#include <string>

namespace ravenox {
namespace {

UCollator* OpenCollator() {
  std::string locale = uloc_getDefault();
  // Under the C/POSIX locale ICU picks en_US_POSIX, whose tailoring orders every capital before
  // every small letter at the primary level; that would split "Meeting" from "meeting".
  if (locale.empty() || locale.rfind("en_US_POSIX", 0) == 0 || locale == "c") locale.clear();
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(locale.c_str(), &status);
  if (U_FAILURE(status)) {
    if (collator != nullptr) ucol_close(collator);
    return nullptr;
  }
  ucol_setStrength(collator, UCOL_SECONDARY);
  return collator;
}

struct ThreadCollator {
  UCollator* collator = OpenCollator();
  ThreadCollator() = default;
  ThreadCollator(const ThreadCollator&) = delete;
  ThreadCollator& operator=(const ThreadCollator&) = delete;
  ~ThreadCollator() {
    if (collator != nullptr) ucol_close(collator);
  }
};

// Only used when ICU has no collator at all: ASCII case folding, then bytes.
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
  thread_local ThreadCollator holder;
  if (holder.collator == nullptr) return FallbackCompare(a, b);
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult r =
      ucol_strcollUTF8(holder.collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                       static_cast<int32_t>(b.size()), &status);
  if (U_FAILURE(status)) return FallbackCompare(a, b);
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

}  // namespace ravenox
