// The iCalendar mapping: libical's components read into the object model's terms, and a task
// moved on along its rule. Any store that reads iCalendar data (files, a vdir, the desktop's
// calendar service) uses it; it knows nothing of where the text came from.
//   Libical.h  the parser set up, components owned, texts as UTF-8
//   Times.h    zones, and times as the engine reads them
//   Rules.h    RRULE as Outlook's pattern, where a rule ends, a rule's occurrence on a day
//   Items.h    events, changed and deleted occurrences, tasks, and a task's dates moved on
#pragma once

#include <libical/ical.h>

#include <memory>
#include <string>
#include <string_view>

namespace outlook::ical {

// Once per process, before the first parse: libical's errors are answers, not aborts.
void EnsureLibical();

struct ComponentDeleter {
  void operator()(icalcomponent* c) const { icalcomponent_free(c); }
};
using ComponentPtr = std::unique_ptr<icalcomponent, ComponentDeleter>;

// The component the text holds, when it is one of `kind`; null otherwise.
ComponentPtr Parse(const std::string& text, icalcomponent_kind kind);

// Text from a calendar is meant to be UTF-8; some files are Latin-1 all the same.
std::string Utf8(const char* text);

// The text of the first property of `kind`, as UTF-8; empty when there is none.
std::string Text(icalcomponent* c, icalproperty_kind kind);

}  // namespace outlook::ical
