// The days of a recurrence pattern by arithmetic: whether a day is one of the series' days, and
// why not, without walking the series from its first day, whatever its age. Days are those of the
// pattern's own calendar (the time zone the series was made in).
#pragma once

#include "base/DateTime.h"
#include "outlook/OutlookModel.h"

namespace outlook {

using ravenox::TDateTime;

// The members of a pattern, read once.
struct PatternRule {
  int type = 0;
  int interval = 1;
  int mask = 0;
  int day_of_month = 0, month_of_year = 0, instance = 0;
  int occurrences = 0;
  int first_day_of_week = 1;
  bool no_end = true;
  TDateTime first_day, end_day, start_time;

  // Reads the members of `p` that a pattern of `type` uses.
  static PatternRule Read(RecurrencePattern& p, int type);
  // Whether the rule takes `day`, a day on or after the first day of the series; the end of the
  // series is not looked at.
  bool OnRule(TDateTime day) const;
  // Why `day` is not one of the series' days ("before its start", "after its end", "off
  // interval"); null when it is.
  const char* Why(TDateTime day) const;
};

}  // namespace outlook
