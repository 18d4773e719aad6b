// What the engine reads of an iCalendar event, a series' rule and a task, in the object model's
// terms: times are local, a rule is Outlook's recurrence pattern. Filled by the mapping in this
// folder, kept and handed on by the stores that read iCalendar data.
#pragma once

#include <string>

#include "base/DateTime.h"

struct _icaltimezone;

namespace outlook::ical {

using ravenox::TDateTime;

// A recurrence rule the engine's pattern cannot express.
inline constexpr int kNoExpansion = -1;

// A series' rule as Outlook's pattern has it. Its days and times are those of the series' own
// time zone (`zone`; null for floating times and dates, which are the user's).
struct PatternData {
  int type = kNoExpansion;
  int interval = 1;
  int day_of_week_mask = 0;
  int day_of_month = 0;
  int month_of_year = 0;
  int instance = 0;
  int occurrences = 0;
  int first_day_of_week = 2;  // Monday, unless the rule says otherwise
  TDateTime pattern_start_date, pattern_end_date, start_time;
  bool no_end_date = true;
  bool has_exceptions = false;    // deleted (EXDATE) or changed (RECURRENCE-ID) occurrences
  _icaltimezone* zone = nullptr;  // valid while the data it was read from is
  const char* why_no_expansion = nullptr;
};

struct EventData {
  std::string subject, location;
  std::string body;  // the first 200 characters of the description: all the engine reads
  TDateTime start;   // local time
  int reminder_minutes = 15;
  bool reminder_set = false;  // it has an alarm that goes off
  bool all_day = false;
  bool cancelled = false;  // STATUS:CANCELLED
  bool declined = false;   // the user's own ATTENDEE line says PARTSTAT=DECLINED
  bool recurring = false;
  PatternData pattern;
  std::string error;  // set when the block could not be read
};

// A deleted or changed occurrence of a series.
struct ExceptionData {
  TDateTime original;  // its start in the series, in the series' calendar
  bool deleted = false;
  EventData event;  // the occurrence as it now is, unless deleted
};

struct TaskData {
  std::string subject;
  TDateTime start_date = ravenox::kNoDate, due_date = ravenox::kNoDate;
  TDateTime reminder_time = ravenox::kNoDate;
  bool reminder_set = false, complete = false, recurring = false;
  std::string error;
};

}  // namespace outlook::ical
