// Turning a recurrence pattern into the start of its occurrence today or in the next day or two.
#include <algorithm>

#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {
namespace {

// Day d at the pattern's start time.
TDateTime AtStartTime(TDateTime day, outlook::RecurrencePattern& pattern) {
  return DateOf(day) + TimeOf(pattern.StartTime());
}

bool WeekdayInMask(int mask, TDateTime day) {
  return (mask >> (DayOfWeek(day) - 1)) & 1;
}

// The series may still have occurrences on or after `from`.
bool MayStillOccur(outlook::RecurrencePattern& pattern, TDateTime from) {
  return pattern.PatternEndDate() >= from || pattern.NoEndDate() || pattern.Occurrences() != 0;
}

}  // namespace

TDateTime TOutlookProcessor::NextOccurrence(outlook::RecurrencePattern& pattern, TDateTime t) {
  TDateTime result = 0.0;
  switch (pattern.RecurrenceType()) {
    case outlook::olRecursDaily:
      result = DailyOccurrence(pattern, t);
      break;
    case outlook::olRecursWeekly:
      result = WeeklyOccurrence(pattern, t, t + 2.0);
      break;
    case outlook::olRecursMonthly:
      result = MonthlyOccurrence(pattern);
      break;
    case outlook::olRecursYearly:
      result = YearlyOccurrence(pattern);
      break;
    default:
      return 0.0;  // the n-th weekday of a month or year has no expansion
  }
  const TDateTime end = pattern.PatternEndDate();
  if (end != TDateTime(0.0) && end < result) result = 0.0;
  return result;
}

TDateTime TOutlookProcessor::DailyOccurrence(outlook::RecurrencePattern& pattern, TDateTime t) {
  DebugLog("Daily Appt");
  if (!MayStillOccur(pattern, t)) return 0.0;
  int count = 0;
  const int limit = pattern.Occurrences();
  const bool open = pattern.NoEndDate();
  const TDateTime today = DateOf(t), tomorrow = DateOf(t + 1.0);

  const int mask = pattern.DayOfWeekMask();
  if (mask == 0) {
    // Every n days from the first day of the series.
    for (TDateTime d = pattern.PatternStartDate(); d <= t + 1.0 && (count <= limit || open);
         ++count) {
      if (DateOf(d) == today) return AtStartTime(today, pattern);
      if (DateOf(d) == tomorrow) return AtStartTime(tomorrow, pattern);
      // An interval below one day would never reach today.
      d += std::max(1, pattern.Interval());
    }
    return 0.0;
  }

  // Every day whose weekday is in the mask; a counted series ends after its count of such days.
  for (TDateTime d = DateOf(pattern.PatternStartDate()); d <= tomorrow; d += 1.0) {
    if (!WeekdayInMask(mask, d)) continue;
    if (!open && count >= limit) return 0.0;
    if (d == today) return AtStartTime(today, pattern);
    if (d == tomorrow) return AtStartTime(tomorrow, pattern);
    ++count;
  }
  return 0.0;
}

TDateTime TOutlookProcessor::WeeklyOccurrence(outlook::RecurrencePattern& pattern, TDateTime d,
                                              TDateTime last) {
  DebugLog("Weekly Appt");
  if (!MayStillOccur(pattern, d)) return 0.0;
  TDateTime result = 0.0;
  for (; result == TDateTime(0.0) && d <= last; d += 1.0) {
    const int weekday = DayOfWeek(d);
    // The first day of the series on this weekday.
    TDateTime anchor = pattern.PatternStartDate();
    while (anchor <= last + 1.0 && DayOfWeek(anchor) != weekday) anchor += 1.0;
    if (!(anchor < last + 1.0)) continue;
    if (!WeekdayInMask(pattern.DayOfWeekMask(), d)) continue;
    const auto gap = static_cast<int64_t>(DateOf(d).Value() - DateOf(anchor).Value());
    const int interval = pattern.Interval();
    if (interval == 0 || gap % (7 * static_cast<int64_t>(interval)) == 0) {
      result = AtStartTime(d, pattern);
    }
  }
  return result;
}

TDateTime TOutlookProcessor::MonthlyOccurrence(outlook::RecurrencePattern& pattern) {
  DebugLog("Monthly Output");
  const TDateTime now = env_.clock->Now();
  const int day = DecodeDateTime(now).day;
  const int day_of_month = pattern.DayOfMonth();
  if (day_of_month == day) return AtStartTime(now, pattern);
  if (day_of_month == day + 1) return AtStartTime(now + 1.0, pattern);
  return 0.0;
}

TDateTime TOutlookProcessor::YearlyOccurrence(outlook::RecurrencePattern& pattern) {
  DebugLog("Yearly Output");
  const TDateTime now = env_.clock->Now();
  const DateParts today = DecodeDateTime(now);
  if (pattern.DayOfMonth() == today.day && pattern.MonthOfYear() == today.month)
    return AtStartTime(now, pattern);
  if (pattern.DayOfMonth() == today.day + 1 && pattern.MonthOfYear() == today.month)
    return AtStartTime(now + 1.0, pattern);
  return 0.0;
}

}  // namespace ravenox::engine
