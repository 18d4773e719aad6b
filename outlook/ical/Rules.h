// Recurrence rules: an RRULE as Outlook's recurrence pattern (or why it has none), where a rule
// ends (COUNT and UNTIL as an end date and a number of occurrences), and a rule's occurrence on a
// given day.
#pragma once

#include <libical/ical.h>

#include "outlook/ical/ItemData.h"
#include "outlook/ical/Times.h"

namespace outlook::ical {

// Walking a rule one occurrence at a time goes no further than this.
inline constexpr int kMaxCountWalk = 100000;

// The rule of the series `c` that starts at `start`, as Outlook's pattern, in the series' own
// calendar.
void MapRule(icalcomponent* c, const LocalTime& start, PatternData& pattern);

// A rule the engine expands that has no occurrence at all (the 30th of February, say): libical
// would search centuries for one.
bool Impossible(const PatternData& pattern);

// The rule as it is meant: an end given as a date for a series of date-times takes in that whole
// day, in the series' own zone. Rules are walked on the wall clock of the series' zone, so an end
// given in UTC is read on it too.
icalrecurrencetype Normalized(icalrecurrencetype r, const LocalTime& start);

// The start of the occurrence the rule of series `c` (which starts at `start`) has on the local
// day `day`; a null time when it has none that day.
icaltimetype RuleOccurrenceOn(icalcomponent* c, const LocalTime& start, TDateTime day);

}  // namespace outlook::ical
