// Zones and times: a TZID found among the zones the system knows (Windows names too) or in the
// data's own definitions, and date-time properties read as the engine's local times.
#pragma once

#include <libical/ical.h>
#include <time.h>

#include <string>

#include "base/DateTime.h"

namespace outlook::ical {

using ravenox::TDateTime;

// The zones a reader can name: the system's, and those its data defines.
class ZoneLookup {
 public:
  virtual ~ZoneLookup() = default;
  // The zone named `tzid`, or null (the time is then read as floating).
  virtual icaltimezone* Find(const std::string& tzid) = 0;
};

// The zone the system knows by `tzid`: a Windows name ("Pacific Standard Time", as Outlook
// writes them) mapped to its own first, then its own names, also under a prefix such as
// "/mozilla.org/20070129_1/". Shared by the whole process; null when none.
icaltimezone* KnownZone(const std::string& tzid);

// The zone a VTIMEZONE's text defines, owned by the caller (icaltimezone_free(zone, 1)); null
// when the text is none.
icaltimezone* ZoneFromDefinition(const std::string& text);

// A date-time property in local wall-clock time: UTC and zoned times converted, floating times
// as written, dates at local midnight.
struct LocalTime {
  TDateTime value;
  bool present = false;
  bool is_date = false;
  icaltimetype raw = icaltime_null_time();
  icaltimezone* zone = nullptr;  // null: floating or a date
};

LocalTime ReadTime(icalproperty* prop, ZoneLookup& zones);

// The moment a wall-clock time of `zone` stands for. A time the zone passes twice (clocks going
// back) is the first; a time it skips (clocks going forward) is read with the offset before the
// gap, which puts it after the gap, as calendars show it.
time_t UnixOf(const icaltimetype& t, icaltimezone* zone);
time_t AsUnix(const LocalTime& t);
// A time as written, on the wall clock of its own zone (or the user's, for floating times).
TDateTime WallClock(const icaltimetype& t);
// The local time of `t`, a time of the series that starts at `like`.
TDateTime LocalOf(const icaltimetype& t, const LocalTime& like);
// The day, in the calendar of the series that starts at `series`, of a time of it (an EXDATE or a
// RECURRENCE-ID), which may be written in another zone.
TDateTime SeriesDay(const LocalTime& v, const LocalTime& series);
// Local time of a moment given by the system clock (seconds since the epoch), and back.
TDateTime LocalFromUnix(time_t t);
time_t UnixFromLocal(TDateTime local);
// The wall-clock time in `zone` (none: floating) at the local time `local`.
TDateTime TimeInZone(icaltimezone* zone, TDateTime local);
// The wall-clock time `t` written like `like`: in its zone, as a floating time, or as a date.
icaltimetype TimeLike(time_t t, const LocalTime& like);

}  // namespace outlook::ical
