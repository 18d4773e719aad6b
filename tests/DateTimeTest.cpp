#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "base/DateTime.h"
#include "base/Formats.h"

namespace ravenox {
namespace {

// The process's zone by the TZ variable: a name of the zone database, or on Windows (whose C
// library reads only the POSIX form) that form; none puts back the system's.
void SetZone(const char* name, const char* posix) {
#if defined(_WIN32)
  _putenv_s("TZ", name != nullptr ? posix : "");
  _tzset();
#else
  static_cast<void>(posix);
  if (name != nullptr) {
    setenv("TZ", name, 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
#endif
}

TEST(DateTime, EncodesKnownSerialDays) {
  struct Case {
    int y, m, d;
    double serial;
    int weekday;  // 1 = Sunday
  };
  const Case cases[] = {
      {1899, 12, 30, 0, 7},    {1899, 12, 31, 1, 1},    {1900, 1, 1, 2, 2},
      {1970, 1, 1, 25569, 5},  {2000, 1, 1, 36526, 7},  {2000, 2, 29, 36585, 3},
      {2026, 12, 8, 46364, 3}, {4501, 1, 1, 949998, 7}, {2024, 12, 31, 45657, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.y) + "-" + std::to_string(c.m) + "-" + std::to_string(c.d));
    const TDateTime t = EncodeDate(c.y, c.m, c.d);
    EXPECT_DOUBLE_EQ(t.Value(), c.serial);
    EXPECT_EQ(DayOfWeek(t + 0.75), c.weekday);
    const DateParts p = DecodeDateTime(t + 0.5);
    EXPECT_EQ(p.year, c.y);
    EXPECT_EQ(p.month, c.m);
    EXPECT_EQ(p.day, c.d);
    EXPECT_EQ(p.hour, 12);
  }
}

TEST(DateTime, ComparesAtMillisecondResolution) {
  // Plain doubles get these wrong; the bounds of the engine depend on them.
  EXPECT_EQ(EncodeTime(11, 0, 0) - kOneHour, EncodeTime(10, 0, 0));
  EXPECT_EQ(TDateTime(EncodeTime(7, 0, 0) + kFifteenMinutes), EncodeTime(7, 15, 0));
  EXPECT_EQ(TDateTime(19.0 / 24) - kFifteenMinutes, EncodeTime(18, 45, 0));
  const TDateTime day = EncodeDate(2026, 3, 1);
  EXPECT_EQ(day + 3.0 - 1e-9, day + 3.0);
  EXPECT_LT(day + 3.0, day + 3.0 + 0.001 / 86400);
  EXPECT_GT(day + kOneMinute, day);
}

// Milliseconds are rounded as llround rounds, halves and their neighbours, either sign, and values
// far past any date included.
// Half away from zero, as llround rounds. mingw-w64's llround adds a half and floors, which takes
// 0.49999999999999994 up; the same sum in long double (a 64-bit mantissa) is exact.
long long Rounded(double x) {
  if (!(std::fabs(x) < 4.0e18)) return std::llround(x);
  return std::llroundl(static_cast<long double>(x));
}

TEST(DateTime, TicksRoundAsLlroundDoes) {
  std::vector<double> ms = {0.0,  0.5,        -0.5,        1.5,        -1.5,
                            2.5,  4e12 + 0.5, -4e12 - 0.5, 9.0e15 + 1, (1LL << 52) + 0.0,
                            1e19, -1e19,      3.9e18};
  for (const double m : std::vector<double>(ms)) {
    ms.push_back(std::nextafter(m, 1e300));
    ms.push_back(std::nextafter(m, -1e300));
  }
  std::mt19937_64 random(25);
  for (int i = 0; i < 2000; ++i)
    ms.push_back(std::uniform_real_distribution<double>(-5e12, 5e12)(random));
  for (const double m : ms) {
    SCOPED_TRACE(m);
    EXPECT_EQ(TDateTime(m / 86400000.0).Ticks(), Rounded((m / 86400000.0) * 86400000.0));
  }
}

TEST(DateTime, TimeOfDayAndDate) {
  const TDateTime t = EncodeDateTime(2026, 12, 8, 18, 30, 15, 250);
  EXPECT_EQ(DateOf(t), EncodeDate(2026, 12, 8));
  EXPECT_EQ(TDateTime(TimeOf(t)), EncodeTime(18, 30, 15, 250));
  const DateParts p = DecodeDateTime(t);
  EXPECT_EQ(p.minute, 30);
  EXPECT_EQ(p.second, 15);
  EXPECT_EQ(p.millisecond, 250);
  // A value just short of midnight rounds into the next day at millisecond resolution.
  EXPECT_EQ(DecodeDateTime(EncodeDate(2026, 12, 31) + 0.9999999999).year, 2027);
}

TEST(DateTime, DaysInMonth) {
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
  EXPECT_EQ(DaysInMonth(2100, 2), 28);
  EXPECT_EQ(DaysInMonth(2000, 2), 29);
  EXPECT_EQ(DaysInMonth(2026, 4), 30);
  EXPECT_EQ(DaysInMonth(2026, 12), 31);
}

TEST(DateTime, LocalTimeFromUnix) {
  SetZone("UTC", "UTC0");
  EXPECT_EQ(FromUnixLocal(0), EncodeDate(1970, 1, 1));
  EXPECT_EQ(FromUnixLocal(1796731200, 500000000), EncodeDateTime(2026, 12, 8, 12, 0, 0, 500));
  SetZone("America/New_York", "EST5EDT");
  EXPECT_EQ(FromUnixLocal(1796731200), EncodeDateTime(2026, 12, 8, 7, 0, 0));
  SetZone(nullptr, nullptr);
}

TEST(Formats, UseTheLocaleShortDateAndLongTime) {
  std::setlocale(LC_TIME, "C");
  const TDateTime t = EncodeDateTime(2026, 12, 8, 9, 5, 7);
  EXPECT_EQ(FormatShortDate(t), "12/08/26");
  EXPECT_EQ(FormatLongTime(t), "09:05:07");
  EXPECT_EQ(FormatDateTime(t), "12/08/26 09:05:07");
}

}  // namespace
}  // namespace ravenox
