// Turning a recurrence pattern into the start of its occurrence today or in the next two days.
//
// Each day of the window is tested against the pattern by arithmetic: no walk from the first day
// of the series, whatever its age. Days are the days of the pattern's own calendar (the time zone
// the series was made in), which the pattern converts the reference time into.
#include <algorithm>

#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {
namespace {

// The days looked at: today, tomorrow and the day after.
constexpr int kWindowDays = 3;
// A count is checked by walking the series from its first day; a series counted over more days
// than this has an end date to go by.
constexpr int kMaxCountedDays = 50 * 366;

// The members of a pattern, read once for one expansion.
struct PatternView {
  int type = 0;
  int interval = 1;
  int mask = 0;
  int day_of_month = 0, month_of_year = 0, instance = 0;
  int occurrences = 0;
  int first_day_of_week = 1;
  bool no_end = true;
  TDateTime first_day, end_day, start_time;
};

PatternView Read(outlook::RecurrencePattern& p, int type) {
  PatternView v;
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
    case outlook::olRecursDaily:
      v.mask = p.DayOfWeekMask();
      break;
    case outlook::olRecursWeekly:
      v.mask = p.DayOfWeekMask();
      if (v.interval > 1) v.first_day_of_week = p.FirstDayOfWeek();
      if (v.first_day_of_week < 1 || v.first_day_of_week > 7) v.first_day_of_week = 1;
      break;
    case outlook::olRecursMonthly:
      v.day_of_month = p.DayOfMonth();
      break;
    case outlook::olRecursYearly:
      v.day_of_month = p.DayOfMonth();
      v.month_of_year = p.MonthOfYear();
      break;
    case outlook::olRecursMonthNth:
      v.mask = p.DayOfWeekMask();
      v.instance = p.Instance();
      break;
    case outlook::olRecursYearNth:
      v.mask = p.DayOfWeekMask();
      v.instance = p.Instance();
      v.month_of_year = p.MonthOfYear();
      break;
    default:
      break;
  }
  return v;
}

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

// Whether the pattern's rule takes `day`, a day on or after the first day of the series; the end
// of the series is not looked at.
bool OnRule(const PatternView& v, TDateTime day) {
  const DateParts d = DecodeDateTime(day), s = DecodeDateTime(v.first_day);
  const int64_t months = (d.year - s.year) * 12 + (d.month - s.month);
  const int years = d.year - s.year;
  switch (v.type) {
    case outlook::olRecursDaily:
      return DaysBetween(v.first_day, day) % v.interval == 0 &&
             (v.mask == 0 || InMask(v.mask, day));
    case outlook::olRecursWeekly: {
      const int mask = v.mask != 0 ? v.mask : 1 << (DayOfWeek(v.first_day) - 1);
      if (!InMask(mask, day)) return false;
      // Weeks are counted from the week the series began in.
      const TDateTime week_start =
          v.first_day - ((DayOfWeek(v.first_day) - v.first_day_of_week + 7) % 7);
      return DaysBetween(week_start, day) / 7 % v.interval == 0;
    }
    case outlook::olRecursMonthly:
      return months % v.interval == 0 && v.day_of_month >= 1 &&
             d.day == DayInMonth(d.year, d.month, v.day_of_month);
    case outlook::olRecursMonthNth:
      return months % v.interval == 0 && d.day == NthDay(d.year, d.month, v.instance, v.mask);
    case outlook::olRecursYearly:
      return years % v.interval == 0 && d.month == v.month_of_year && v.day_of_month >= 1 &&
             d.day == DayInMonth(d.year, d.month, v.day_of_month);
    case outlook::olRecursYearNth:
      return years % v.interval == 0 && d.month == v.month_of_year &&
             d.day == NthDay(d.year, d.month, v.instance, v.mask);
    default:
      return false;
  }
}

// Why a day is not one of the series' days; null when it is.
const char* Why(const PatternView& v, TDateTime day) {
  if (day < v.first_day) return "before its start";
  if (!v.no_end) {
    if (v.end_day != TDateTime(0.0)) {
      if (day > v.end_day) return "after its end";
    } else if (v.occurrences <= 0) {
      return "after its end";  // ended, with neither a date nor a count
    } else if (DaysBetween(v.first_day, day) > kMaxCountedDays) {
      return "after its end";
    }
  }
  if (!OnRule(v, day)) return "off interval";
  if (!v.no_end && v.end_day == TDateTime(0.0)) {
    // Counted, without a known last day: the days of the series before this one.
    int before = 0;
    for (TDateTime d = v.first_day; d < day && before < v.occurrences; d += 1.0)
      before += OnRule(v, d) ? 1 : 0;
    if (before >= v.occurrences) return "after its end";
  }
  return nullptr;
}

const char* DebugLine(int type) {
  switch (type) {
    case outlook::olRecursDaily:
      return "Daily Appt";
    case outlook::olRecursWeekly:
      return "Weekly Appt";
    case outlook::olRecursMonthly:
      return "Monthly Output";
    case outlook::olRecursYearly:
      return "Yearly Output";
    case outlook::olRecursMonthNth:
      return "Monthly Nth Output";
    case outlook::olRecursYearNth:
      return "Yearly Nth Output";
    default:
      return nullptr;
  }
}

}  // namespace

TDateTime TOutlookProcessor::NextOccurrence(outlook::RecurrencePattern& pattern,
                                            TDateTime reference, const char** why) {
  const int type = pattern.RecurrenceType();
  const char* line = DebugLine(type);
  if (line == nullptr) {
    if (why != nullptr) *why = "no expansion";
    return 0.0;
  }
  DebugLog(line);
  const PatternView view = Read(pattern, type);
  const TDateTime today = DateOf(pattern.PatternTime(reference));
  // Why the window has no day of the series is why its last day is not one: before the start
  // only when even that day is, after the end when the end came within the window or before it.
  const char* reason = nullptr;
  for (int i = 0; i < kWindowDays; ++i) {
    const TDateTime day = today + i;
    reason = Why(view, day);
    if (reason == nullptr) return day + TimeOf(view.start_time);
  }
  if (why != nullptr) *why = reason;
  return 0.0;
}

}  // namespace ravenox::engine
