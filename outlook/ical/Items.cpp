#include "outlook/ical/Items.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>

#include "base/RecordText.h"
#include "outlook/ical/Libical.h"
#include "outlook/ical/Rules.h"

namespace outlook::ical {
namespace {

constexpr std::size_t kBodyCharacters = 200;
constexpr int kDefaultReminder = 15;

struct Trigger {
  bool found = false;
  bool absolute = false;
  time_t at = 0;
  int seconds = 0;  // relative to the anchor; negative: before it
  bool related_end = false;
};

// The first alarm that would go off: ACTION:NONE and alarms without a trigger do not count.
Trigger FirstTrigger(icalcomponent* c) {
  Trigger out;
  for (icalcomponent* a = icalcomponent_get_first_component(c, ICAL_VALARM_COMPONENT); a != nullptr;
       a = icalcomponent_get_next_component(c, ICAL_VALARM_COMPONENT)) {
    if (icalproperty* action = icalcomponent_get_first_property(a, ICAL_ACTION_PROPERTY)) {
      const char* value = icalproperty_get_value_as_string(action);
      if (value != nullptr && g_ascii_strcasecmp(value, "NONE") == 0) continue;
    }
    icalproperty* p = icalcomponent_get_first_property(a, ICAL_TRIGGER_PROPERTY);
    if (p == nullptr) continue;
    const icaltriggertype trigger = icalproperty_get_trigger(p);
    if (!icaltime_is_null_time(trigger.time)) {
      out.found = true;
      out.absolute = true;
      out.at = icaltime_as_timet_with_zone(
          trigger.time, icaltime_is_utc(trigger.time) ? icaltimezone_get_utc_timezone() : nullptr);
      return out;
    }
    out.found = true;
    out.seconds = icaldurationtype_as_int(trigger.duration);
    if (icalparameter* rel = icalproperty_get_first_parameter(p, ICAL_RELATED_PARAMETER))
      out.related_end = icalparameter_get_related(rel) == ICAL_RELATED_END;
    return out;
  }
  return out;
}

// Whether the user, known by `address`, declined the meeting.
bool DeclinedBy(icalcomponent* c, const std::string& address) {
  if (address.empty()) return false;
  for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_ATTENDEE_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(c, ICAL_ATTENDEE_PROPERTY)) {
    const char* value = icalproperty_get_attendee(p);
    if (value == nullptr) continue;
    if (g_ascii_strncasecmp(value, "mailto:", 7) == 0) value += 7;
    if (g_ascii_strcasecmp(value, address.c_str()) != 0) continue;
    icalparameter* partstat = icalproperty_get_first_parameter(p, ICAL_PARTSTAT_PARAMETER);
    return partstat != nullptr && icalparameter_get_partstat(partstat) == ICAL_PARTSTAT_DECLINED;
  }
  return false;
}

constexpr std::string_view kEventNames[] = {
    "BEGIN", "END",   "DTSTART", "DTEND",         "DURATION", "SUMMARY", "LOCATION", "DESCRIPTION",
    "RRULE", "RDATE", "EXDATE",  "RECURRENCE-ID", "STATUS",   "ACTION",  "TRIGGER"};
constexpr std::string_view kShapeNames[] = {"BEGIN", "END", "DTSTART", "RRULE", "EXDATE"};

}  // namespace

const std::span<const std::string_view> kEventProperties = kEventNames;
const std::span<const std::string_view> kShapeProperties = kShapeNames;

std::string EventLines(const std::string& block, const std::string& address,
                       std::span<const std::string_view> read) {
  auto same = [](std::string_view a, std::string_view capitals) {
    return a.size() == capitals.size() &&
           g_ascii_strncasecmp(a.data(), capitals.data(), a.size()) == 0;
  };
  auto contains = [](std::string_view text, const std::string& what) {
    if (what.empty() || text.size() < what.size()) return false;
    for (std::size_t i = 0; i + what.size() <= text.size(); ++i) {
      if (g_ascii_strncasecmp(text.data() + i, what.data(), what.size()) == 0) return true;
    }
    return false;
  };
  std::string kept;
  kept.reserve(block.size());
  std::size_t pos = 0;
  while (pos < block.size()) {
    // One logical line: its first physical line and the folded ones after it.
    std::size_t end = block.find('\n', pos);
    while (end != std::string::npos && end + 1 < block.size() &&
           (block[end + 1] == ' ' || block[end + 1] == '\t'))
      end = block.find('\n', end + 1);
    end = end == std::string::npos ? block.size() : end + 1;
    const std::string_view line(block.data() + pos, end - pos);
    pos = end;
    const std::string_view name = line.substr(0, line.find_first_of(":;\r\n"));
    bool keep =
        std::any_of(read.begin(), read.end(), [&](std::string_view n) { return same(name, n); });
    if (!keep && !address.empty() && same(name, "ATTENDEE")) {
      std::string unfolded;
      for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\r' || line[i] == '\n') continue;
        if (i > 0 && line[i - 1] == '\n' && (line[i] == ' ' || line[i] == '\t')) continue;
        unfolded += line[i];
      }
      keep = contains(unfolded, address);
    }
    if (keep) kept.append(line);
  }
  return kept;
}

EventData ReadEvent(icalcomponent* c, ZoneLookup& zones, const std::string& address,
                    LocalTime& start) {
  EventData e;
  e.subject = Text(c, ICAL_SUMMARY_PROPERTY);
  e.location = Text(c, ICAL_LOCATION_PROPERTY);
  e.body = ravenox::FirstCharacters(Text(c, ICAL_DESCRIPTION_PROPERTY), kBodyCharacters);
  start = ReadTime(icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY), zones);
  if (!start.present) e.error = "event without a start";
  e.start = start.value;
  e.all_day = start.is_date;

  const Trigger trigger = FirstTrigger(c);
  e.reminder_set = trigger.found;
  e.reminder_minutes = kDefaultReminder;
  if (trigger.found && start.present) {
    long long before = 0;
    if (trigger.absolute) {
      before = (static_cast<long long>(AsUnix(start)) - trigger.at) / 60;
    } else {
      long long seconds = trigger.seconds;
      if (trigger.related_end) {
        const LocalTime end =
            ReadTime(icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY), zones);
        if (end.present) seconds += static_cast<long long>(AsUnix(end) - AsUnix(start));
      }
      before = -seconds / 60;
    }
    // A reminder after the start is taken as at the start.
    e.reminder_minutes = static_cast<int>(std::clamp<long long>(before, 0, 1000000000));
  }
  icalproperty* status = icalcomponent_get_first_property(c, ICAL_STATUS_PROPERTY);
  e.cancelled = status != nullptr && icalproperty_get_status(status) == ICAL_STATUS_CANCELLED;
  e.declined = DeclinedBy(c, address);
  e.recurring =
      icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY) != nullptr && start.present;
  return e;
}

std::vector<ExceptionData> DeletedOccurrences(icalcomponent* master, const LocalTime& start,
                                              double at, ZoneLookup& zones) {
  std::vector<ExceptionData> out;
  for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_EXDATE_PROPERTY);
       p != nullptr; p = icalcomponent_get_next_property(master, ICAL_EXDATE_PROPERTY)) {
    const LocalTime x = ReadTime(p, zones);
    if (!x.present) continue;
    ExceptionData d;
    d.original = SeriesDay(x, start) + at;
    d.deleted = true;
    out.push_back(std::move(d));
  }
  return out;
}

std::optional<ExceptionData> ChangedOccurrence(icalcomponent* changed, const LocalTime& start,
                                               double at, ZoneLookup& zones,
                                               const std::string& address) {
  const LocalTime id =
      ReadTime(icalcomponent_get_first_property(changed, ICAL_RECURRENCEID_PROPERTY), zones);
  if (!id.present) return std::nullopt;
  ExceptionData d;
  d.original = SeriesDay(id, start) + at;
  LocalTime own_start;
  d.event = ReadEvent(changed, zones, address, own_start);
  d.event.recurring = false;
  if (!d.event.error.empty()) return std::nullopt;
  return d;
}

TaskData ReadTask(icalcomponent* c, ZoneLookup& zones) {
  TaskData data;
  data.subject = Text(c, ICAL_SUMMARY_PROPERTY);
  const LocalTime start =
      ReadTime(icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY), zones);
  const LocalTime due = ReadTime(icalcomponent_get_first_property(c, ICAL_DUE_PROPERTY), zones);
  // Outlook keeps task dates as days.
  if (start.present) data.start_date = ravenox::DateOf(start.value);
  if (due.present) data.due_date = ravenox::DateOf(due.value);

  const Trigger trigger = FirstTrigger(c);
  if (trigger.found) {
    if (trigger.absolute) {
      data.reminder_set = true;
      data.reminder_time = LocalFromUnix(trigger.at);
    } else {
      const LocalTime& anchor = trigger.related_end ? due : start;
      if (anchor.present) {
        data.reminder_set = true;
        data.reminder_time = LocalFromUnix(AsUnix(anchor) + trigger.seconds);
      }
    }
  }
  icalproperty* status = icalcomponent_get_first_property(c, ICAL_STATUS_PROPERTY);
  icalproperty* percent = icalcomponent_get_first_property(c, ICAL_PERCENTCOMPLETE_PROPERTY);
  data.complete = (status != nullptr && icalproperty_get_status(status) == ICAL_STATUS_COMPLETED) ||
                  icalcomponent_get_first_property(c, ICAL_COMPLETED_PROPERTY) != nullptr ||
                  (percent != nullptr && icalproperty_get_percentcomplete(percent) >= 100);
  data.recurring = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY) != nullptr;
  return data;
}

std::string MovedTask(icalcomponent* c, time_t today, ZoneLookup& zones) {
  icalproperty* rrule = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY);
  icalproperty* dtstart = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY);
  icalproperty* due = icalcomponent_get_first_property(c, ICAL_DUE_PROPERTY);
  icalproperty* anchor_prop = dtstart != nullptr ? dtstart : due;
  if (rrule == nullptr || anchor_prop == nullptr) return {};

  const LocalTime anchor = ReadTime(anchor_prop, zones);
  if (!anchor.present) return {};
  const LocalTime due_time = due != nullptr ? ReadTime(due, zones) : anchor;
  // How long after the instance's start it falls due.
  const long long due_after = due_time.present ? static_cast<long long>(AsUnix(due_time)) -
                                                     static_cast<long long>(AsUnix(anchor))
                                               : 0;
  // The task as libical writes it, before any change.
  char* before_text = icalcomponent_as_ical_string_r(c);
  const std::string before = before_text != nullptr ? before_text : "";
  free(before_text);
  icalrecurrencetype rule = icalproperty_get_rrule(rrule);
  icalrecur_iterator* it = icalrecur_iterator_new(rule, anchor.raw);
  if (it == nullptr) return {};
  // The instance wanted is the first that is not wholly past: one walk to it, whatever the gap.
  // Without a count the walk may begin a day before the first instance that could be due today.
  if (rule.count == 0) {
    const icaltimetype from =
        TimeLike(static_cast<time_t>(static_cast<long long>(today) - due_after - 86400), anchor);
    if (icaltime_compare(from, anchor.raw) > 0) icalrecur_iterator_set_start(it, from);
  }
  icaltimetype next = icaltime_null_time();
  int passed = 0;  // instances after the current one, for a counted series
  for (int step = 0; step < kMaxCountWalk; ++step) {
    const icaltimetype t = icalrecur_iterator_next(it);
    if (icaltime_is_null_time(t)) break;  // the series ends: its last instance stays
    if (icaltime_compare(t, anchor.raw) <= 0) continue;
    next = t;
    ++passed;
    LocalTime at = anchor;
    at.raw = t;
    if (static_cast<long long>(AsUnix(at)) + due_after >= static_cast<long long>(today)) break;
  }
  icalrecur_iterator_free(it);
  if (icaltime_is_null_time(next)) return {};  // no instance after this one

  LocalTime moved = anchor;
  moved.raw = next;
  const long long shift =
      static_cast<long long>(AsUnix(moved)) - static_cast<long long>(AsUnix(anchor));
  // Dates and times are set, not shifted by a duration: the gap may be any number of years. A
  // new value of the right kind (date or date-time) replaces the old one.
  auto set_time = [&](icalproperty* p, const icaltimetype& t) {
    if (p == nullptr) return;
    if (icalproperty_isa(p) == ICAL_DTSTART_PROPERTY) {
      icalproperty_set_dtstart(p, t);
    } else {
      icalproperty_set_due(p, t);
    }
  };
  if (dtstart != nullptr) {
    set_time(dtstart, next);
    if (due != nullptr && due_time.present) {
      // The due time keeps its distance from the start, in calendar days and time of day.
      icaltimetype d = next;
      const icaldurationtype span = icaltime_subtract(due_time.raw, anchor.raw);
      d = icaltime_add(d, span);
      d.is_date = due_time.raw.is_date;
      if (d.is_date) d.hour = d.minute = d.second = 0;
      d.zone = due_time.raw.zone;
      set_time(due, d);
    }
  } else {
    set_time(due, next);
  }
  if (rule.count > 0) {
    rule.count = std::max(1, rule.count - passed);
    icalproperty_set_rrule(rrule, rule);
  }
  for (icalcomponent* a = icalcomponent_get_first_component(c, ICAL_VALARM_COMPONENT); a != nullptr;
       a = icalcomponent_get_next_component(c, ICAL_VALARM_COMPONENT)) {
    icalproperty* p = icalcomponent_get_first_property(a, ICAL_TRIGGER_PROPERTY);
    if (p == nullptr) continue;
    icaltriggertype trigger = icalproperty_get_trigger(p);
    if (icaltime_is_null_time(trigger.time)) continue;
    icaltimezone* utc = icaltimezone_get_utc_timezone();
    trigger.time = icaltime_from_timet_with_zone(
        static_cast<time_t>(icaltime_as_timet_with_zone(trigger.time, utc) + shift), 0, utc);
    icalproperty_set_trigger(p, trigger);
  }

  char* text = icalcomponent_as_ical_string_r(c);
  std::string replacement = text != nullptr ? text : "";
  free(text);
  // A skip that would leave the task where it is has not moved it.
  if (replacement == before) return {};
  return replacement;
}

}  // namespace outlook::ical
