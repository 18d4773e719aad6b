#include "base/Formats.h"

#include <array>
#include <ctime>

namespace ravenox {
namespace {

std::string Format(TDateTime t, const char* pattern) {
  const std::tm tm = ToTm(t);
  std::array<char, 128> buffer{};
  const std::size_t n = std::strftime(buffer.data(), buffer.size(), pattern, &tm);
  return std::string(buffer.data(), n);
}

}  // namespace

std::string FormatShortDate(TDateTime t) {
  return Format(t, "%x");
}

std::string FormatLongTime(TDateTime t) {
  return Format(t, "%X");
}

std::string FormatDateTime(TDateTime t) {
  return FormatShortDate(t) + " " + FormatLongTime(t);
}

}  // namespace ravenox
