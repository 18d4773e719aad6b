// Events and tasks: what the engine reads of a VEVENT (texts, start, reminder, status, the user's
// own reply), of a series' deleted and changed occurrences, and of a VTODO; and a recurring
// task's dates moved on to its next instance, as the task is written back.
#pragma once

#include <libical/ical.h>
#include <time.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "outlook/ical/ItemData.h"
#include "outlook/ical/Times.h"

namespace outlook::ical {

// The properties the engine reads of an event, and those that tell its shape (start and rule).
extern const std::span<const std::string_view> kEventProperties;
extern const std::span<const std::string_view> kShapeProperties;

// The lines of an event block that ReadEvent, MapRule and the exceptions read: libical spends
// most of a parse on properties, so the others (UID, DTSTAMP, ORGANIZER, the other attendees,
// vendor extensions) are left out before it parses. An attendee line is kept when it may name the
// user (`address`). Folded lines stay folded.
std::string EventLines(const std::string& block, const std::string& address,
                       std::span<const std::string_view> read = kEventProperties);

// What the engine reads of a VEVENT; its start as written in `start`. `address`: the user's own,
// which tells the user's reply among the attendees.
EventData ReadEvent(icalcomponent* c, ZoneLookup& zones, const std::string& address,
                    LocalTime& start);

// The occurrences the series `master` (which starts at `start`, at the time of day `at`)
// deletes with EXDATE.
std::vector<ExceptionData> DeletedOccurrences(icalcomponent* master, const LocalTime& start,
                                              double at, ZoneLookup& zones);

// The occurrence a RECURRENCE-ID block `changed` of that series moves or changes; none when it
// names no occurrence or cannot be read.
std::optional<ExceptionData> ChangedOccurrence(icalcomponent* changed, const LocalTime& start,
                                               double at, ZoneLookup& zones,
                                               const std::string& address);

// What the engine reads of a VTODO (Outlook keeps task dates as days).
TaskData ReadTask(icalcomponent* c, ZoneLookup& zones);

// The recurring task `c` moved on to its first instance that is not wholly before `today` (the
// Unix time of local midnight), or its last one, as libical writes it; empty when the rule has no
// later instance or nothing would change.
std::string MovedTask(icalcomponent* c, time_t today, ZoneLookup& zones);

}  // namespace outlook::ical
