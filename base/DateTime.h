// Date-time arithmetic in the form the state files and settings store it: a double holding the days
// since 1899-12-30, its fraction being the time of day.
#pragma once

#include <cmath>
#include <compare>
#include <cstdint>
#include <ctime>

namespace ravenox {

class TDateTime {
 public:
  constexpr TDateTime() = default;
  // Implicit on purpose: a date-time is a number of days, and the constants below are plain days.
  constexpr TDateTime(double days) : value_(days) {}  // NOLINT(google-explicit-constructor)

  constexpr double Value() const { return value_; }

  // Milliseconds since 1899-12-30. Comparisons happen at this resolution, so that sums of fractions
  // meet the bounds they were meant to (11:00 minus one hour equals 10:00).
  // Rounded as llround rounds (halves away from zero), without its library call: every comparison
  // asks for it, a pass thousands of times. What no date comes near goes to the library.
  int64_t Ticks() const {
    const double ms = value_ * 86400000.0;
    if (!(std::fabs(ms) < 4.0e18)) return std::llround(ms);
    auto whole = static_cast<int64_t>(ms);                // toward zero
    const double rest = ms - static_cast<double>(whole);  // exact
    if (rest >= 0.5) {
      ++whole;
    } else if (rest <= -0.5) {
      --whole;
    }
    return whole;
  }

  friend bool operator==(TDateTime a, TDateTime b) { return a.Ticks() == b.Ticks(); }
  friend std::strong_ordering operator<=>(TDateTime a, TDateTime b) {
    return a.Ticks() <=> b.Ticks();
  }

  friend constexpr TDateTime operator+(TDateTime a, double days) { return a.value_ + days; }
  friend constexpr TDateTime operator-(TDateTime a, double days) { return a.value_ - days; }
  friend constexpr double operator-(TDateTime a, TDateTime b) { return a.value_ - b.value_; }
  TDateTime& operator+=(double days) {
    value_ += days;
    return *this;
  }

 private:
  double value_ = 0.0;
};

inline constexpr double kOneMinute = 1.0 / 1440.0;
inline constexpr double kFifteenMinutes = 15.0 / 1440.0;
inline constexpr double kOneHour = 1.0 / 24.0;
inline constexpr double kSixHours = 0.25;
// How a missing task date reads (1 January 4501).
inline constexpr double kNoDate = 949998.0;

// Whole days, truncated toward zero.
TDateTime DateOf(TDateTime t);
// Time of day: t minus its truncation (negative for negative t, as the arithmetic gives).
double TimeOf(TDateTime t);

TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second = 0,
                         int millisecond = 0);

struct DateParts {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};
// Splits a date-time at millisecond resolution (23:59:59.9996 rounds into the next day).
DateParts DecodeDateTime(TDateTime t);

// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime t);
// Days in the month of the given year (1..12).
int DaysInMonth(int year, int month);

// Local wall-clock time of a point in time.
TDateTime FromUnixLocal(std::time_t seconds, long nanoseconds = 0);
// A broken-down local time as a date-time (tm_year is years since 1900, tm_mon 0-based).
TDateTime FromTm(const std::tm& tm, long nanoseconds = 0);
// The broken-down form, for strftime; the weekday is filled in.
std::tm ToTm(TDateTime t);

}  // namespace ravenox
