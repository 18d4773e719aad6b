#include "outlook/PatternRule.h"

#include <algorithm>
#include <cmath>

namespace outlook {
namespace {

using namespace ravenox;

// A count is checked by walking the series from its first day; a series counted over more days
// than this has an end date to go by.
constexpr int kMaxCountedDays = 50 * 366;

bool InMask(int mask, TDateTime day) {
  return (mask >> (DayOfWeek(day) - 1)) & 1;
}

int64_t DaysBetween(TDateTime from, TDateTime to) {
  return static_cast<int64_t>(std::llround(DateOf(to).Value() - DateOf(from).Value()));
}

// The day of a month that a monthly or yearly pattern on day `day` takes: its last day when the
// month is shorter.
int DayInMonth(int year, int month, int day) {
  return std::min(day, DaysInMonth(year, month));
}

// The `instance`-th day of the month whose weekday is in `mask` (5: the last such day); 0 if none.
int NthDay(int year, int month, int instance, int mask) {
  if ((mask & 127) == 0 || instance < 1 || instance > 5) return 0;
  const int days = DaysInMonth(year, month);
  const TDateTime first = EncodeDate(year, month, 1);
  if (instance == 5) {
    for (int d = days; d >= 1; --d)
      if (InMask(mask, first + (d - 1))) return d;
    return 0;
  }
  int met = 0;
  for (int d = 1; d <= days; ++d) {
    if (InMask(mask, first + (d - 1)) && ++met == instance) return d;
  }
  return 0;
}

}  // namespace

PatternRule PatternRule::Read(RecurrencePattern& p, int type) {
  PatternRule v;
  v.type = type;
  v.interval = std::max(1, p.Interval());  // 0 would never move on
  v.first_day = DateOf(p.PatternStartDate());
  v.start_time = p.StartTime();
  v.no_end = p.NoEndDate();
  if (!v.no_end) {
    v.end_day = DateOf(p.PatternEndDate());
    v.occurrences = p.Occurrences();
  }
  switch (type) {
    case olRecursDaily:
      v.mask = p.DayOfWeekMask();
      break;
    case olRecursWeekly:
      v.mask = p.DayOfWeekMask();
      if (v.interval > 1) v.first_day_of_week = p.FirstDayOfWeek();
      if (v.first_day_of_week < 1 || v.first_day_of_week > 7) v.first_day_of_week = 1;
      break;
    case olRecursMonthly:
      v.day_of_month = p.DayOfMonth();
      break;
    case olRecursYearly:
      v.day_of_month = p.DayOfMonth();
      v.month_of_year = p.MonthOfYear();
      break;
    case olRecursMonthNth:
      v.mask = p.DayOfWeekMask();
      v.instance = p.Instance();
      break;
    case olRecursYearNth:
      v.mask = p.DayOfWeekMask();
      v.instance = p.Instance();
      v.month_of_year = p.MonthOfYear();
      break;
    default:
      break;
  }
  return v;
}

bool PatternRule::OnRule(TDateTime day) const {
  const DateParts d = DecodeDateTime(day), s = DecodeDateTime(first_day);
  const int64_t months = (d.year - s.year) * 12 + (d.month - s.month);
  const int years = d.year - s.year;
  switch (type) {
    case olRecursDaily:
      return DaysBetween(first_day, day) % interval == 0 && (mask == 0 || InMask(mask, day));
    case olRecursWeekly: {
      const int days = mask != 0 ? mask : 1 << (DayOfWeek(first_day) - 1);
      if (!InMask(days, day)) return false;
      // Weeks are counted from the week the series began in.
      const TDateTime week_start = first_day - ((DayOfWeek(first_day) - first_day_of_week + 7) % 7);
      return DaysBetween(week_start, day) / 7 % interval == 0;
    }
    case olRecursMonthly:
      return months % interval == 0 && day_of_month >= 1 &&
             d.day == DayInMonth(d.year, d.month, day_of_month);
    case olRecursMonthNth:
      return months % interval == 0 && d.day == NthDay(d.year, d.month, instance, mask);
    case olRecursYearly:
      return years % interval == 0 && d.month == month_of_year && day_of_month >= 1 &&
             d.day == DayInMonth(d.year, d.month, day_of_month);
    case olRecursYearNth:
      return years % interval == 0 && d.month == month_of_year &&
             d.day == NthDay(d.year, d.month, instance, mask);
    default:
      return false;
  }
}

const char* PatternRule::Why(TDateTime day) const {
  if (day < first_day) return "before its start";
  if (!no_end) {
    if (end_day != TDateTime(0.0)) {
      if (day > end_day) return "after its end";
    } else if (occurrences <= 0) {
      return "after its end";  // ended, with neither a date nor a count
    } else if (DaysBetween(first_day, day) > kMaxCountedDays) {
      return "after its end";
    }
  }
  if (!OnRule(day)) return "off interval";
  if (!no_end && end_day == TDateTime(0.0)) {
    // Counted, without a known last day: the days of the series before this one.
    int before = 0;
    for (TDateTime d = first_day; d < day && before < occurrences; d += 1.0)
      before += OnRule(d) ? 1 : 0;
    if (before >= occurrences) return "after its end";
  }
  return nullptr;
}

}  // namespace outlook
