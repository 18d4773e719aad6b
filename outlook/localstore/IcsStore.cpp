#include "outlook/localstore/IcsStore.h"

#include <fcntl.h>
#include <glib.h>
#include <libical/ical.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unicode/ucal.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <span>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "base/RecordText.h"
#include "platform/AtomicFile.h"
#include "platform/Memory.h"

namespace outlook::localstore {
namespace {

constexpr std::size_t kBodyCharacters = 200;
// An event's flags.
constexpr uint8_t kReminderSet = 1, kAllDay = 2, kCancelled = 4, kDeclined = 8;
// Before parsing: the start was read from the start line alone and is in the slot.
constexpr uint8_t kQuickStart = 16, kQuickSeries = 32, kQuickEnds = 64;
constexpr int kDefaultReminder = 15;
constexpr int kMaxCountWalk = 100000;
// Far beyond any calendar a person keeps; a larger "file" is a device or a mistake.
constexpr std::size_t kMaxFileSize = std::size_t{1} << 30;

struct LibicalSetup {
  LibicalSetup() { icalerror_set_errors_are_fatal(0); }
};
void EnsureLibical() {
  static LibicalSetup setup;
}

struct ComponentDeleter {
  void operator()(icalcomponent* c) const { icalcomponent_free(c); }
};
using ComponentPtr = std::unique_ptr<icalcomponent, ComponentDeleter>;

// Text from a calendar is meant to be UTF-8; some files are Latin-1 all the same.
std::string Utf8(const char* text) {
  if (text == nullptr) return {};
  if (g_utf8_validate(text, -1, nullptr)) return text;
  gchar* converted = g_convert(text, -1, "UTF-8", "ISO-8859-1", nullptr, nullptr, nullptr);
  std::string out = converted != nullptr ? converted : "";
  g_free(converted);
  return out;
}

// "Pacific Standard Time" and other Windows zone names, as Outlook writes them.
std::string OlsonFromWindows(const std::string& windows) {
  UChar win[128], olson[128];
  int32_t win_length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(win, 128, &win_length, windows.c_str(), static_cast<int32_t>(windows.size()),
                &status);
  if (U_FAILURE(status)) return {};
  const int32_t length =
      ucal_getTimeZoneIDForWindowsID(win, win_length, nullptr, olson, 128, &status);
  if (U_FAILURE(status) || length <= 0) return {};
  char out[256];
  int32_t out_length = 0;
  u_strToUTF8(out, sizeof out, &out_length, olson, length, &status);
  if (U_FAILURE(status)) return {};
  return std::string(out, static_cast<std::size_t>(out_length));
}

}  // namespace

TDateTime LocalFromUnix(time_t t) {
  return ravenox::FromUnixLocal(t);
}

// Time zones by TZID: Windows names mapped to the system's zones first, then the system's own
// zones (also under prefixes such as "/mozilla.org/20070129_1/"), then the file's VTIMEZONEs.
class IcsFile::ZoneCache {
 public:
  explicit ZoneCache(IcsFile& file) : file_(file) {}
  ~ZoneCache() {
    for (icaltimezone* z : owned_) icaltimezone_free(z, 1);
  }
  ZoneCache(const ZoneCache&) = delete;
  ZoneCache& operator=(const ZoneCache&) = delete;

  icaltimezone* Find(const std::string& tzid) {
    const auto it = cache_.find(tzid);
    if (it != cache_.end()) return it->second;
    icaltimezone* zone = Resolve(tzid);
    cache_[tzid] = zone;
    return zone;
  }

 private:
  icaltimezone* Resolve(const std::string& tzid) {
    if (icaltimezone* z = Known(tzid)) return z;
    return FileZone(tzid);
  }

  // The zones libical knows by name, for every file of the process: a vdir names the same few
  // in thousands of files. Null when it knows none by that name.
  static icaltimezone* Known(const std::string& tzid) {
    static std::mutex mutex;
    static std::unordered_map<std::string, icaltimezone*> known;
    {
      std::lock_guard lock(mutex);
      const auto it = known.find(tzid);
      if (it != known.end()) return it->second;
    }
    icaltimezone* zone = Builtin(tzid);
    std::lock_guard lock(mutex);
    if (known.size() < 4096) known.emplace(tzid, zone);
    return zone;
  }

  static icaltimezone* Builtin(const std::string& tzid) {
    const std::string olson = OlsonFromWindows(tzid);
    if (!olson.empty()) {
      if (icaltimezone* z = icaltimezone_get_builtin_timezone(olson.c_str())) return z;
    }
    for (std::size_t from = 0; from != std::string::npos;) {
      const std::string candidate = tzid.substr(from);
      if (candidate.find('/') != std::string::npos || from == 0) {
        if (icaltimezone* z = icaltimezone_get_builtin_timezone(candidate.c_str())) return z;
      }
      const std::size_t slash = tzid.find('/', from);
      from = slash == std::string::npos ? slash : slash + 1;
    }
    return nullptr;
  }

  icaltimezone* FileZone(const std::string& tzid) {
    // The file's own definition; its name sometimes carries a stray trailing colon.
    for (const auto& [name, block] : file_.zone_blocks_) {
      std::string trimmed = name;
      while (!trimmed.empty() && (trimmed.back() == ':' || trimmed.back() == ' '))
        trimmed.pop_back();
      if (name != tzid && trimmed != tzid) continue;
      Block b;
      b.offset = block.first;
      b.length = block.second;
      icalcomponent* c = icalparser_parse_string(file_.BlockText(b).c_str());
      if (c == nullptr) return nullptr;
      if (icalcomponent_isa(c) != ICAL_VTIMEZONE_COMPONENT) {
        icalcomponent_free(c);
        return nullptr;
      }
      icaltimezone* zone = icaltimezone_new();
      if (!icaltimezone_set_component(zone, c)) {
        icaltimezone_free(zone, 1);
        icalcomponent_free(c);
        return nullptr;
      }
      owned_.push_back(zone);
      return zone;
    }
    return nullptr;
  }

  IcsFile& file_;
  std::map<std::string, icaltimezone*> cache_;
  std::vector<icaltimezone*> owned_;
};

namespace {

// Seconds since the epoch of a wall-clock reading, as if it were UTC.
long long WallSeconds(const icaltimetype& t) {
  const long long days = std::llround(ravenox::EncodeDate(t.year, t.month, t.day).Value()) - 25569;
  return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

// The moment a wall-clock time of `zone` stands for. A time the zone passes twice (clocks going
// back) is the first; a time it skips (clocks going forward) is read with the offset before the
// gap, which puts it after the gap, as calendars show it.
time_t UnixOf(const icaltimetype& t, icaltimezone* zone) {
  const time_t u = icaltime_as_timet_with_zone(t, zone);
  if (t.is_date || zone == icaltimezone_get_utc_timezone()) return u;
  const auto wall = [&](time_t x) {
    return WallSeconds(icaltime_from_timet_with_zone(x, 0, zone));
  };
  const long long want = WallSeconds(t);
  if (wall(u) == want) {
    for (const time_t earlier : {u - 3600, u - 1800})
      if (wall(earlier) == want) return earlier;
    return u;
  }
  const time_t before = u - 6 * 3600;
  return static_cast<time_t>(want - (wall(before) - before));
}

// A date-time property in local wall-clock time: UTC and zoned times converted, floating times
// as written, dates at local midnight.
struct LocalTime {
  TDateTime value;
  bool present = false;
  bool is_date = false;
  icaltimetype raw = icaltime_null_time();
  icaltimezone* zone = nullptr;  // null: floating or a date
};

template <typename Zones>
LocalTime ReadTime(icalproperty* prop, Zones& zones) {
  LocalTime out;
  if (prop == nullptr) return out;
  icalvalue* value = icalproperty_get_value(prop);
  if (value == nullptr) return out;
  icaltimetype t = icalvalue_get_datetime(value);
  if (icaltime_is_null_time(t) || !icaltime_is_valid_time(t)) return out;
  out.present = true;
  out.raw = t;
  if (t.is_date) {
    out.is_date = true;
    out.value = ravenox::EncodeDate(t.year, t.month, t.day);
    return out;
  }
  if (icaltime_is_utc(t)) {
    out.zone = icaltimezone_get_utc_timezone();
  } else if (icalparameter* p = icalproperty_get_first_parameter(prop, ICAL_TZID_PARAMETER)) {
    const char* tzid = icalparameter_get_tzid(p);
    if (tzid != nullptr) out.zone = zones.Find(tzid);
  }
  if (out.zone != nullptr) {
    out.value = LocalFromUnix(UnixOf(t, out.zone));
  } else {
    out.value = ravenox::EncodeDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second);
  }
  return out;
}

time_t AsUnix(const LocalTime& t) {
  if (t.zone != nullptr) return UnixOf(t.raw, t.zone);
  // Floating times and dates are the local wall-clock.
  std::tm tm{};
  tm.tm_year = t.raw.year - 1900;
  tm.tm_mon = t.raw.month - 1;
  tm.tm_mday = t.raw.day;
  if (!t.raw.is_date) {
    tm.tm_hour = t.raw.hour;
    tm.tm_min = t.raw.minute;
    tm.tm_sec = t.raw.second;
  }
  tm.tm_isdst = -1;
  return mktime(&tm);
}

// A time as written, on the wall clock of its own zone (or the user's, for floating times).
TDateTime WallClock(const icaltimetype& t) {
  if (t.is_date) return ravenox::EncodeDate(t.year, t.month, t.day);
  return ravenox::EncodeDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// The local time of `t`, a time of the series that starts at `like`.
TDateTime LocalOf(const icaltimetype& t, const LocalTime& like) {
  if (like.zone != nullptr) return LocalFromUnix(UnixOf(t, like.zone));
  return WallClock(t);
}

// The day, in the calendar of the series that starts at `series`, of a time of it (an EXDATE or a
// RECURRENCE-ID), which may be written in another zone.
TDateTime SeriesDay(const LocalTime& v, const LocalTime& series) {
  if (v.zone != nullptr && !v.is_date) {
    const time_t t = UnixOf(v.raw, v.zone);
    if (series.zone == nullptr) return ravenox::DateOf(LocalFromUnix(t));
    return ravenox::DateOf(WallClock(icaltime_from_timet_with_zone(t, 0, series.zone)));
  }
  return ravenox::EncodeDate(v.raw.year, v.raw.month, v.raw.day);
}

time_t UnixFromLocal(TDateTime local) {
  // A scan asks this for every series at one moment (its own); mktime looks at the system's zone
  // file each time it is called. The answer for the last moment asked stands for a second.
  struct Last {
    TDateTime local = -1.0;
    time_t unix = 0;
    std::chrono::steady_clock::time_point at{};
  };
  thread_local Last last;
  const auto now = std::chrono::steady_clock::now();
  if (local == last.local && now - last.at < std::chrono::seconds(1)) return last.unix;
  std::tm tm = ravenox::ToTm(local);
  tm.tm_isdst = -1;
  last = {local, mktime(&tm), now};
  return last.unix;
}

std::string Text(icalcomponent* c, icalproperty_kind kind) {
  icalproperty* p = icalcomponent_get_first_property(c, kind);
  if (p == nullptr) return {};
  icalvalue* v = icalproperty_get_value(p);
  if (v == nullptr) return {};
  return Utf8(icalvalue_get_text(v));
}

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

// The lines of an event block that ReadEvent, MapRule and the exceptions read: libical spends
// most of a parse on properties, so the others (UID, DTSTAMP, ORGANIZER, the other attendees,
// vendor extensions) are left out before it parses. An attendee line is kept when it may name the
// user. Folded lines stay folded.
constexpr std::string_view kEventProperties[] = {
    "BEGIN", "END",   "DTSTART", "DTEND",         "DURATION", "SUMMARY", "LOCATION", "DESCRIPTION",
    "RRULE", "RDATE", "EXDATE",  "RECURRENCE-ID", "STATUS",   "ACTION",  "TRIGGER"};
// What the view reads: the start and the rule.
constexpr std::string_view kShapeProperties[] = {"BEGIN", "END", "DTSTART", "RRULE", "EXDATE"};

std::string EventLines(const std::string& block, const std::string& address,
                       std::span<const std::string_view> kRead = kEventProperties) {
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
        std::any_of(kRead.begin(), kRead.end(), [&](std::string_view n) { return same(name, n); });
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

// What the engine reads of a VEVENT, its start as written in `start`.
template <typename Zones>
EventData ReadEvent(icalcomponent* c, Zones& zones, const std::string& address, LocalTime& start) {
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

int WeekdayBit(int day_of_week) {
  return 1 << (day_of_week - 1);
}  // Sunday 1 ... Saturday 64

bool HasAny(const short* array, int size) {
  return size > 0 && array[0] != ICAL_RECURRENCE_ARRAY_MAX;
}
int CountOf(const short* array, int size) {
  int n = 0;
  while (n < size && array[n] != ICAL_RECURRENCE_ARRAY_MAX) ++n;
  return n;
}

// Walking a rule costs at most this many steps, and goes no further than this many years from
// now: a series that runs on beyond that is endless for a program that looks three days ahead.
constexpr int kMaxRuleSteps = 5000;
constexpr int kHorizonYears = 50;

int DaysInMonth(int month) {
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month >= 1 && month <= 12 ? kDays[month - 1] : 0;
}

// A rule the engine expands that has no occurrence at all (the 30th of February, say): libical
// would search centuries for one.
bool Impossible(const PatternData& pattern) {
  return pattern.type == 5 && pattern.day_of_month > DaysInMonth(pattern.month_of_year);
}

// The rule as it is meant: an end given as a date for a series of date-times takes in that whole
// day, in the series' own zone.
// Rules are walked on the wall clock of the series' zone, so an end given in UTC is read on it
// too.
icalrecurrencetype Normalized(icalrecurrencetype r, const LocalTime& start) {
  if (!icaltime_is_null_time(r.until) && !r.until.is_date && icaltime_is_utc(r.until) &&
      !start.raw.is_date && start.zone != icaltimezone_get_utc_timezone()) {
    const time_t end = icaltime_as_timet_with_zone(r.until, icaltimezone_get_utc_timezone());
    if (start.zone != nullptr) {
      r.until = icaltime_from_timet_with_zone(end, 0, start.zone);
    } else {
      std::tm tm{};
      localtime_r(&end, &tm);
      r.until = icaltime_null_time();
      r.until.year = tm.tm_year + 1900;
      r.until.month = tm.tm_mon + 1;
      r.until.day = tm.tm_mday;
      r.until.hour = tm.tm_hour;
      r.until.minute = tm.tm_min;
      r.until.second = tm.tm_sec;
    }
    r.until.zone = nullptr;
  }
  if (!icaltime_is_null_time(r.until) && r.until.is_date && !start.raw.is_date) {
    r.until.is_date = 0;
    r.until.hour = 23;
    r.until.minute = 59;
    r.until.second = 59;
  }
  return r;
}

// Walks the rule from the start; `stop` says when an occurrence is far enough. Returns the number
// of occurrences met (the last one in `last`), or -1 when the walk was cut short by its bounds.
template <typename Stop>
int WalkRule(const icalrecurrencetype& r, const LocalTime& start, icaltimetype& last, Stop stop) {
  const time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  const int horizon = tm.tm_year + 1900 + kHorizonYears;
  icalrecur_iterator* it = icalrecur_iterator_new(Normalized(r, start), start.raw);
  if (it == nullptr) return -1;
  int n = 0;
  bool cut = true;
  for (int step = 0; step < kMaxRuleSteps; ++step) {
    const icaltimetype t = icalrecur_iterator_next(it);
    if (icaltime_is_null_time(t)) {
      cut = false;
      break;
    }
    if (t.year > horizon) break;
    last = t;
    ++n;
    if (stop(n)) {
      cut = false;
      break;
    }
  }
  icalrecur_iterator_free(it);
  return cut ? -1 : n;
}

// A weekly rule by arithmetic: the days of the mask in every interval-th week, counted from the
// week (as the rule's week start has it) of the first day; a first day that is not a day of the
// rule is no occurrence (as libical has it).
struct WeeklyDays {
  double first, week0;  // the first day, and the start of its week
  int mask, per_week, interval;

  static std::optional<WeeklyDays> Of(const PatternData& p) {
    if (p.type != 1 || p.day_of_week_mask == 0 || p.interval < 1) return std::nullopt;
    // libical counts the weeks of a rule with an interval from a Sunday or a Monday as written;
    // with another week start it goes its own way, and is walked.
    if (p.interval > 1 && p.first_day_of_week != 1 && p.first_day_of_week != 2) return std::nullopt;
    const double first = p.pattern_start_date.Value();
    const int wkst = p.first_day_of_week >= 1 && p.first_day_of_week <= 7 ? p.first_day_of_week : 2;
    WeeklyDays w{first, first - ((ravenox::DayOfWeek(first) - wkst + 7) % 7), p.day_of_week_mask,
                 __builtin_popcount(static_cast<unsigned>(p.day_of_week_mask)), p.interval};
    return w;
  }
  static bool InMaskDay(int mask, double day) {
    return (mask >> (ravenox::DayOfWeek(day) - 1)) & 1;
  }
  // Days of the mask from `from` to `to`, both within one week.
  int Between(double from, double to) const {
    int n = 0;
    for (double d = from; d <= to; d += 1.0) n += InMaskDay(mask, d) ? 1 : 0;
    return n;
  }
  // The `count`-th occurrence (from 1).
  double Nth(long long count) const {
    const long long k0 = Between(first, week0 + 6);
    double d = first;
    long long left = count;
    if (count > k0) {
      left = count - k0;
      const long long w = (left - 1) / per_week + 1;  // active weeks after the first one
      left -= (w - 1) * per_week;
      d = week0 + 7.0 * static_cast<double>(interval * w);
    }
    for (int i = 0; i < 7; ++i, d += 1.0) {
      if (InMaskDay(mask, d) && --left == 0) return d;
    }
    return 0.0;
  }
  // Occurrences on days up to `last`.
  long long Until(double last) const {
    if (last < first) return 0;
    if (last <= week0 + 6) return Between(first, last);
    const long long k0 = Between(first, week0 + 6);
    const auto j = static_cast<long long>((last - week0) / (7.0 * interval));  // last week begun
    if (j < 1) return k0;
    const double ws = week0 + 7.0 * static_cast<double>(interval * j);
    return k0 + (j - 1) * per_week + Between(ws, std::min(ws + 6, last));
  }
};

// A monthly or yearly rule on a day every month has (the 28th or before): every interval-th month
// (twelve for a yearly rule) counted from the first day's, on that day, the first of them on or
// after the first day. Months are numbered year * 12 + month - 1.
struct MonthSteps {
  long long first;
  long long step;
  int day;

  static std::optional<MonthSteps> Of(const PatternData& p) {
    if ((p.type != 2 && p.type != 5) || p.interval < 1) return std::nullopt;
    if (p.day_of_month < 1 || p.day_of_month > 28) return std::nullopt;
    if (p.type == 5 && (p.month_of_year < 1 || p.month_of_year > 12)) return std::nullopt;
    const ravenox::DateParts f = ravenox::DecodeDateTime(p.pattern_start_date);
    const int month = p.type == 5 ? p.month_of_year : f.month;
    MonthSteps m{f.year * 12LL + (month - 1), p.type == 5 ? 12LL * p.interval : p.interval,
                 p.day_of_month};
    if (month < f.month || (month == f.month && m.day < f.day)) m.first += m.step;
    return m;
  }
  double Nth(long long count) const {
    const long long months = first + (count - 1) * step;
    if (months / 12 > 9999) return 0.0;
    return ravenox::EncodeDate(static_cast<int>(months / 12), static_cast<int>(months % 12) + 1,
                               day)
        .Value();
  }
  long long Until(double last) const {
    const ravenox::DateParts l = ravenox::DecodeDateTime(last);
    long long months = l.year * 12LL + (l.month - 1);
    if (l.day < day) --months;  // that month's day is after the last day
    return months < first ? 0 : (months - first) / step + 1;
  }
};

// A monthly or yearly rule on the n-th (or last) of some weekdays: every interval-th month (twelve
// for a yearly rule) counted from the first day's has exactly one such day; the first of them that
// is not before the first day is the first occurrence.
struct NthSteps {
  long long month0;  // the first day's month (a yearly rule: its month that year)
  long long step;
  int instance, mask;
  double first;
  long long skip;  // 1 when the first month's day lies before the first day

  static int Day(long long months, int instance, int mask) {
    const int year = static_cast<int>(months / 12), month = static_cast<int>(months % 12) + 1;
    const int days = ravenox::DaysInMonth(year, month);
    const double first = ravenox::EncodeDate(year, month, 1).Value();
    auto in = [&](int d) { return (mask >> (ravenox::DayOfWeek(first + (d - 1)) - 1)) & 1; };
    if (instance == 5) {
      for (int d = days; d >= 1; --d)
        if (in(d)) return d;
      return 0;
    }
    int met = 0;
    for (int d = 1; d <= days; ++d)
      if (in(d) && ++met == instance) return d;
    return 0;
  }
  double Date(long long months) const {
    return ravenox::EncodeDate(static_cast<int>(months / 12), static_cast<int>(months % 12) + 1,
                               Day(months, instance, mask))
        .Value();
  }
  static std::optional<NthSteps> Of(const PatternData& p) {
    if ((p.type != 3 && p.type != 6) || p.interval < 1) return std::nullopt;
    if (p.instance < 1 || p.instance > 5 || (p.day_of_week_mask & 127) == 0) return std::nullopt;
    if (p.type == 6 && (p.month_of_year < 1 || p.month_of_year > 12)) return std::nullopt;
    const ravenox::DateParts f = ravenox::DecodeDateTime(p.pattern_start_date);
    NthSteps n{f.year * 12LL + ((p.type == 6 ? p.month_of_year : f.month) - 1),
               p.type == 6 ? 12LL * p.interval : p.interval,
               p.instance,
               p.day_of_week_mask & 127,
               p.pattern_start_date.Value(),
               0};
    // Every month has its first to fourth and its last such day.
    if (Day(n.month0, n.instance, n.mask) == 0) return std::nullopt;
    n.skip = n.Date(n.month0) < n.first ? 1 : 0;
    return n;
  }
  double Nth(long long count) const {
    const long long months = month0 + (skip + count - 1) * step;
    if (months / 12 > 9999) return 0.0;
    return Date(months);
  }
  long long Until(double last) const {
    const ravenox::DateParts l = ravenox::DecodeDateTime(last);
    const long long months = l.year * 12LL + (l.month - 1);
    if (months < month0) return 0;
    long long k = (months - month0) / step;
    if (Date(month0 + k * step) > last) --k;
    return k < skip ? 0 : k - skip + 1;
  }
};

// The day, in the series' calendar, of the last occurrence of a counted series, or 0 when it lies
// beyond the horizon (or the engine never expands the rule).
TDateTime LastOccurrenceDay(const icalrecurrencetype& r, const LocalTime& start,
                            const PatternData& pattern) {
  const double first = pattern.pattern_start_date.Value();
  const long long count = r.count;
  if (pattern.type == 0 && pattern.day_of_week_mask == 0)
    return first + static_cast<double>((count - 1) * pattern.interval);
  if (pattern.type == 0 && pattern.interval == 1) {
    // The count-th day whose weekday is in the mask: whole weeks at once, then day by day.
    const int mask = pattern.day_of_week_mask;
    const long long per_week = __builtin_popcount(static_cast<unsigned>(mask));
    long long left = count;
    double d = first;
    if (left > per_week) {
      const long long weeks = (left - 1) / per_week;
      d += static_cast<double>(weeks * 7);
      left -= weeks * per_week;
    }
    for (int guard = 0; guard < 14; ++guard, d += 1.0) {
      if (((mask >> (ravenox::DayOfWeek(d) - 1)) & 1) && --left == 0) return d;
    }
    return 0.0;
  }
  if (const auto weekly = WeeklyDays::Of(pattern)) return weekly->Nth(count);
  if (const auto monthly = MonthSteps::Of(pattern)) return monthly->Nth(count);
  if (const auto nth = NthSteps::Of(pattern)) return nth->Nth(count);
  if (pattern.type == kNoExpansion || Impossible(pattern)) return 0.0;
  icaltimetype last = icaltime_null_time();
  if (WalkRule(r, start, last, [&](int n) { return n >= count; }) < 0) return 0.0;
  if (icaltime_is_null_time(last)) return 0.0;
  return ravenox::EncodeDate(last.year, last.month, last.day);
}

// How many occurrences a series that runs until its end day has: Outlook keeps Occurrences and
// the end date consistent.
int OccurrencesUntil(const icalrecurrencetype& r, const LocalTime& start,
                     const PatternData& pattern) {
  if (pattern.type == kNoExpansion) return 0;
  const double first = pattern.pattern_start_date.Value();
  const double last = pattern.pattern_end_date.Value();
  if (last < first) return 0;
  const auto clamped = [](long long n) {
    return static_cast<int>(std::min<long long>(n, std::numeric_limits<int>::max()));
  };
  const auto days = static_cast<long long>(last - first);  // days after the first
  if (pattern.type == 0 && pattern.day_of_week_mask == 0)
    return clamped(days / pattern.interval + 1);
  if (pattern.type == 0 && pattern.interval == 1) {
    // Every day whose weekday is in the mask: whole weeks, then the days left over.
    const int mask = pattern.day_of_week_mask;
    long long n = (days + 1) / 7 * __builtin_popcount(static_cast<unsigned>(mask));
    for (double d = first + static_cast<double>((days + 1) / 7 * 7); d <= last; d += 1.0)
      if ((mask >> (ravenox::DayOfWeek(d) - 1)) & 1) ++n;
    return clamped(n);
  }
  if (const auto weekly = WeeklyDays::Of(pattern)) return clamped(weekly->Until(last));
  if (const auto monthly = MonthSteps::Of(pattern)) return clamped(monthly->Until(last));
  if (const auto nth = NthSteps::Of(pattern)) return clamped(nth->Until(last));
  // Otherwise counted one by one, within bounds (beyond them, as far as counted).
  if (Impossible(pattern)) return 0;
  icaltimetype met = icaltime_null_time();
  const int n = WalkRule(r, start, met, [](int) { return false; });
  return n >= 0 ? n : kMaxRuleSteps;
}

// The position (1-4, or 5 for the last) a BYDAY or BYSETPOS entry gives, or 0 when Outlook's
// patterns have none like it.
int InstanceOf(int position) {
  if (position >= 1 && position <= 4) return position;
  return position == -1 ? 5 : 0;
}

// The rule as Outlook's pattern, in the series' own calendar.
void MapRule(icalcomponent* c, const LocalTime& start, PatternData& pattern) {
  icalproperty* rp = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY);
  const icalrecurrencetype r = icalproperty_get_rrule(rp);
  pattern.interval = r.interval > 0 ? r.interval : 1;
  pattern.start_time = WallClock(start.raw);
  pattern.pattern_start_date = ravenox::DateOf(pattern.start_time);
  pattern.zone = start.zone;
  if (r.week_start >= ICAL_SUNDAY_WEEKDAY && r.week_start <= ICAL_SATURDAY_WEEKDAY)
    pattern.first_day_of_week = static_cast<int>(r.week_start);
  const ravenox::DateParts s = ravenox::DecodeDateTime(pattern.start_time);

  const int days = CountOf(r.by_day, ICAL_BY_DAY_SIZE);
  int mask = 0;
  int positioned = 0, position = 0;
  for (int i = 0; i < days; ++i) {
    if (const int pos = icalrecurrencetype_day_position(r.by_day[i]); pos != 0) {
      ++positioned;
      position = pos;
    }
    mask |= WeekdayBit(static_cast<int>(icalrecurrencetype_day_day_of_week(r.by_day[i])));
  }
  const bool by_time = HasAny(r.by_second, ICAL_BY_SECOND_SIZE) ||
                       HasAny(r.by_minute, ICAL_BY_MINUTE_SIZE) ||
                       HasAny(r.by_hour, ICAL_BY_HOUR_SIZE);
  const bool by_year_or_week =
      HasAny(r.by_year_day, ICAL_BY_YEARDAY_SIZE) || HasAny(r.by_week_no, ICAL_BY_WEEKNO_SIZE);
  const int set_positions = CountOf(r.by_set_pos, ICAL_BY_SETPOS_SIZE);
  const int month_days = CountOf(r.by_month_day, ICAL_BY_MONTHDAY_SIZE);
  const int months = CountOf(r.by_month, ICAL_BY_MONTH_SIZE);

  // The n-th of the masked weekdays of a month: "2WE", or "MO,TU,WE,TH,FR" with BYSETPOS=-1.
  int instance = 0;
  if (days == 1 && positioned == 1 && set_positions == 0) {
    instance = InstanceOf(position);
  } else if (days >= 1 && positioned == 0 && set_positions == 1) {
    instance = InstanceOf(r.by_set_pos[0]);
  }

  auto no_expansion = [&](const char* why) {
    pattern.type = kNoExpansion;
    pattern.why_no_expansion = why;
  };
  const bool limited = by_time || by_year_or_week || set_positions > 0;
  switch (r.freq) {
    case ICAL_DAILY_RECURRENCE:
    case ICAL_WEEKLY_RECURRENCE: {
      const bool daily = r.freq == ICAL_DAILY_RECURRENCE;
      if (limited || month_days > 0 || months > 0 || positioned > 0) {
        no_expansion(daily ? "a daily rule limited by more than weekdays"
                           : "a weekly rule limited by more than weekdays");
      } else {
        pattern.type = daily ? 0 : 1;
        pattern.day_of_week_mask =
            days > 0 || daily ? mask : WeekdayBit(ravenox::DayOfWeek(pattern.start_time));
      }
      break;
    }
    case ICAL_MONTHLY_RECURRENCE:
      if (by_time || by_year_or_week || months > 0) {
        no_expansion("a monthly rule limited by months or times of day");
      } else if (days > 0) {
        if (instance == 0 || month_days > 0) {
          no_expansion("several weekdays of a month");
        } else {
          pattern.type = 3;
          pattern.day_of_week_mask = mask;
          pattern.instance = instance;
        }
      } else if (set_positions > 0 || month_days > 1) {
        no_expansion("several days of a month");
      } else if (month_days == 1 && r.by_month_day[0] == -1) {
        pattern.type = 3;  // the last day of the month
        pattern.day_of_week_mask = 127;
        pattern.instance = 5;
      } else if (month_days == 1 && r.by_month_day[0] < 1) {
        no_expansion("a day counted from the end of the month");
      } else {
        pattern.type = 2;
        pattern.day_of_month = month_days == 1 ? r.by_month_day[0] : s.day;
      }
      break;
    case ICAL_YEARLY_RECURRENCE:
      if (by_time || by_year_or_week || months > 1) {
        no_expansion("several months or days of the year");
      } else if (days > 0) {
        if (instance == 0 || month_days > 0 || months == 0) {
          no_expansion("several weekdays, or a weekday of the year");
        } else {
          pattern.type = 6;
          pattern.day_of_week_mask = mask;
          pattern.instance = instance;
          pattern.month_of_year = r.by_month[0];
        }
      } else if (set_positions > 0 || month_days > 1 ||
                 (month_days == 1 && r.by_month_day[0] < 1)) {
        no_expansion("several months or days of the year");
      } else {
        pattern.type = 5;
        pattern.month_of_year = months == 1 ? r.by_month[0] : s.month;
        pattern.day_of_month = month_days == 1 ? r.by_month_day[0] : s.day;
      }
      break;
    default:
      no_expansion("a rule repeating within a day");
      break;
  }

  if (r.count > 0) {
    pattern.no_end_date = false;
    pattern.occurrences = r.count;
    pattern.pattern_end_date = LastOccurrenceDay(r, start, pattern);
  } else if (!icaltime_is_null_time(r.until)) {
    pattern.no_end_date = false;
    // The last day, in the series' calendar, on which an occurrence starts by the end.
    TDateTime until;
    if (r.until.is_date) {
      until = WallClock(r.until) + (86399.0 / 86400.0);  // a date includes the whole day
    } else if (icaltime_is_utc(r.until) && start.zone != nullptr) {
      until = WallClock(icaltime_from_timet_with_zone(
          icaltime_as_timet_with_zone(r.until, icaltimezone_get_utc_timezone()), 0, start.zone));
    } else if (icaltime_is_utc(r.until)) {
      until = LocalFromUnix(icaltime_as_timet_with_zone(r.until, icaltimezone_get_utc_timezone()));
    } else {
      until = WallClock(r.until);
    }
    TDateTime last = ravenox::DateOf(until);
    if (!start.is_date && ravenox::TimeOf(until) < ravenox::TimeOf(pattern.start_time))
      last = last - 1.0;
    pattern.pattern_end_date = last;
    pattern.occurrences = OccurrencesUntil(r, start, pattern);
  } else {
    pattern.no_end_date = true;
  }
}

}  // namespace

bool IcsFile::Stamp::operator==(const Stamp& o) const {
  return size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
         inode == o.inode;
}

namespace {

// A date or date-time value as written ("20240603", "20240603T090000", "...Z"), read as a wall
// clock without its zone; none when it is not one.
std::optional<double> RawWallClock(std::string_view v) {
  auto digits = [&](std::size_t at, std::size_t n, int& out) {
    if (v.size() < at + n) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (v[i] < '0' || v[i] > '9') return false;
      out = out * 10 + (v[i] - '0');
    }
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  if (!digits(0, 4, y) || !digits(4, 2, mo) || !digits(6, 2, d)) return std::nullopt;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > ravenox::DaysInMonth(y, mo)) return std::nullopt;
  if (v.size() > 8) {
    if (v[8] != 'T' || !digits(9, 2, h) || !digits(11, 2, mi) || !digits(13, 2, sec) || h > 23 ||
        mi > 59 || sec > 60)
      return std::nullopt;
  }
  return ravenox::EncodeDate(y, mo, d).Value() + (h * 3600 + mi * 60 + sec) / 86400.0;
}

// The value of a content line: after the first colon outside quoted parameter values.
std::string_view LineValue(std::string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ':' && !quoted) return line.substr(i + 1);
  }
  return {};
}

// A wall clock in any zone lies within this of the same moment's wall clock in any other
// (offsets run from -12:00 to +14:00), with an hour to spare.
constexpr double kZoneSlack = 27.0 / 24;

// The file the last block was read from, kept open for the next block of the same index: reading
// the blocks of a large calendar one after another costs a read each, not an open and a close.
struct OpenBlockFile {
  uint64_t file = 0;  // the file object's serial number: an address may be used again
  uint64_t generation = 0;
  int fd = -1;
  ~OpenBlockFile() { Close(); }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    file = 0;
  }
};
thread_local OpenBlockFile open_block_file;

}  // namespace

IcsFile::IcsFile(std::string path, ComponentKind kind, std::string user_address, bool keep_text)
    : path_(std::move(path)),
      kind_(kind),
      keep_text_(keep_text),
      user_address_(std::move(user_address)) {
  EnsureLibical();
}

IcsFile::~IcsFile() {
  if (open_block_file.file == serial_) open_block_file.Close();
}

void IcsFile::Refresh(int folder) {
  auto fail = [this](const std::string& why) {
    items_.clear();
    stamp_ = Stamp{};
    throw std::runtime_error("Cannot read " + path_ + ": " + why);
  };
  struct stat st {};
  // A file read before costs one stat while it stays as it was; a new one is opened at once (a
  // vdir's first look opens thousands).
  if (stamp_.size >= 0) {
    if (::stat(path_.c_str(), &st) != 0) fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) fail("not a regular file");
    if (Stamp{st.st_size, st.st_mtim, st.st_ino} == stamp_) return;
  }
  // Non-blocking, so that a FIFO put in its place does not wait for a writer; that makes no
  // difference to a regular file.
  // In a folder already open, by its name alone: the path is not walked again for each file.
  const std::size_t slash = path_.rfind('/');
  const int fd = folder >= 0 && slash != std::string::npos
                     ? ::openat(folder, path_.c_str() + slash + 1,
                                O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                     : ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) fail(std::strerror(errno));
  // A file read once, met in a folder's listing as a regular file, is read without asking after
  // it (the inspector through a vdir opens thousands). It has no stamp then: a later look reads it
  // again.
  if (keep_text_ && folder >= 0) {
    stamp_ = Stamp{};
  } else {
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const int error = errno;
      const bool regular = S_ISREG(st.st_mode);
      ::close(fd);
      fail(regular ? std::strerror(error) : "not a regular file");
    }
    stamp_ = Stamp{st.st_size, st.st_mtim, st.st_ino};
  }
  Index(fd);
}

std::string IcsFile::ReadAll() const {
  std::string bytes;
  if (!ravenox::platform::ReadRegularFile(path_, kMaxFileSize, bytes))
    throw std::runtime_error("Cannot read " + path_ + ": " + std::strerror(ENOENT));
  return bytes;
}

namespace {

// The lines of a calendar, from memory or from a file read through a window: indexing a large
// calendar then needs little more memory than what is kept of it. A line is valid until the next.
class LineSource {
 public:
  LineSource(const char* data, std::size_t length) : data_(data), end_(length) {}
  // `size`: what the file held when last looked at; a small file gets a small window (a vdir
  // holds thousands of them).
  LineSource(int fd, const std::string& path, off_t size)
      : fd_(fd), path_(&path), size_(static_cast<std::size_t>(std::max<off_t>(size, 0))) {
    constexpr off_t kLeast = 4096, kMost = off_t{1} << 20;
    window_.swap(Spare());
    window_.resize(static_cast<std::size_t>(std::clamp<off_t>(size + 1, kLeast, kMost)));
    data_ = window_.data();
  }
  ~LineSource() {
    if (fd_ >= 0) ::close(fd_);
    // The next small file of this thread reads through the same window.
    if (window_.capacity() <= kKeptWindow) Spare().swap(window_);
  }
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;

  // The whole file, when it was read into the window in one: empty otherwise.
  std::string_view Whole() const {
    return fd_ >= 0 && done_ && base_ == 0 ? std::string_view(data_, end_) : std::string_view();
  }

  // The first `n` bytes, read if need be; null when the file is shorter.
  const char* Peek(std::size_t n) {
    while (end_ - start_ < n && !eof()) Fill();
    return end_ - start_ >= n ? data_ + start_ : nullptr;
  }

  // The next line without its line feed, where it starts in the file and where the next one does.
  bool Next(const char*& line, std::size_t& length, std::size_t& offset, std::size_t& next) {
    while (true) {
      const void* nl = std::memchr(data_ + start_, '\n', end_ - start_);
      if (nl != nullptr || (eof() && start_ < end_)) {
        line = data_ + start_;
        length = nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - line)
                               : end_ - start_;
        offset = base_ + start_;
        start_ += length + (nl != nullptr ? 1 : 0);
        next = base_ + start_;
        return true;
      }
      if (eof()) return false;
      Fill();
    }
  }

 private:
  bool eof() const { return fd_ < 0 || done_; }
  void Fill() {
    // Keep the unread part, at the front; a line longer than the window widens it.
    std::memmove(window_.data(), window_.data() + start_, end_ - start_);
    base_ += start_;
    end_ -= start_;
    start_ = 0;
    if (end_ == window_.size()) window_.resize(window_.size() * 2);
    data_ = window_.data();
    while (true) {
      const ssize_t r = ::read(fd_, window_.data() + end_, window_.size() - end_);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) throw std::runtime_error("Cannot read " + *path_ + ": " + std::strerror(errno));
      if (r == 0) {
        done_ = true;
      } else {
        // A short read up to the size the file had when opened is its end: no read more to
        // hear so (a vdir's file is read in one).
        if (static_cast<std::size_t>(r) < window_.size() - end_ &&
            base_ + end_ + static_cast<std::size_t>(r) >= size_)
          done_ = true;
        end_ += static_cast<std::size_t>(r);
        if (base_ + end_ > kMaxFileSize) {
          throw std::system_error(
              EFBIG, std::generic_category(),
              "Larger than " + std::to_string(kMaxFileSize) + " bytes: " + *path_);
        }
      }
      return;
    }
  }

  static constexpr std::size_t kKeptWindow = 64 * 1024;
  static std::string& Spare() {
    thread_local std::string spare;
    return spare;
  }

  int fd_ = -1;
  const std::string* path_ = nullptr;
  std::size_t size_ = 0;  // of the file when it was opened
  std::string window_;
  const char* data_ = nullptr;
  std::size_t start_ = 0, end_ = 0, base_ = 0;
  bool done_ = false;
};

// A copy of `bytes` kept until the process ends, or an empty view once the process has kept its
// share. The files a program reads once and whole (the inspector through a vdir: thousands of
// small ones) are kept side by side in large blocks, each thread in its own: a heap block for each
// cost a page fault every few files, as much as reading the file.
std::string_view KeepForLife(std::string_view bytes) {
  constexpr std::size_t kBlock = std::size_t{2} << 20, kInAll = std::size_t{256} << 20;
  static std::atomic<std::size_t> in_all{0};
  thread_local char* free_at = nullptr;
  thread_local std::size_t left = 0;
  if (bytes.empty() || bytes.size() > kBlock) return {};
  if (bytes.size() > left) {
    if (in_all.fetch_add(kBlock) + kBlock > kInAll) return {};
    free_at = static_cast<char*>(ravenox::platform::MapForLife(kBlock));
    left = free_at != nullptr ? kBlock : 0;
    if (free_at == nullptr) return {};
  }
  std::memcpy(free_at, bytes.data(), bytes.size());
  const std::string_view kept(free_at, bytes.size());
  free_at += bytes.size();
  left -= bytes.size();
  return kept;
}

}  // namespace

void IcsFile::Index(int fd) {
  items_.clear();
  text_pool_.clear();
  text_pool_.shrink_to_fit();
  patterns_.clear();
  errors_.clear();
  zone_blocks_.clear();
  override_blocks_.clear();
  zones_.reset();  // made when a time is first read
  kept_ = {};
  answers_.reset();
  converted_.clear();
  ++generation_;

  // The bytes are read through a window once for the index, and let go after it (a mapping
  // would fault if another program cut the file short meanwhile). A file stored as UTF-16 is read
  // whole and kept, converted to UTF-8.
  auto source = std::make_unique<LineSource>(fd, path_, stamp_.size);
  const char* bom = source->Peek(2);
  const bool utf16 = bom != nullptr && ((bom[0] == '\xFF' && bom[1] == '\xFE') ||
                                        (bom[0] == '\xFE' && bom[1] == '\xFF'));
  if (utf16) {
    source.reset();
    const std::string bytes = ReadAll();
    const char* from = bom[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE";
    gsize written = 0;
    gchar* utf8 = bytes.size() >= 2
                      ? g_convert(bytes.data() + 2, static_cast<gssize>(bytes.size() - 2), "UTF-8",
                                  from, nullptr, &written, nullptr)
                      : nullptr;
    converted_ = utf8 != nullptr ? std::string(utf8, written) : std::string();
    g_free(utf8);
    // An empty conversion still marks the file as converted: blocks come from memory.
    if (converted_.empty()) converted_.assign(1, '\n');
    source = std::make_unique<LineSource>(converted_.data(), converted_.size());
  }

  // One pass over the lines. Names and values are views into the bytes: a large calendar costs
  // no allocation per line, and most lines are passed over on their first letter.
  const std::string_view wanted = kind_ == ComponentKind::kEvent ? "VEVENT" : "VTODO";
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  // `text` starts with `prefix` (given in capitals), whatever the letter case of `text`.
  auto starts = [&](const char* text, std::size_t n, std::string_view prefix) {
    if (n < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
      if (upper(text[i]) != prefix[i]) return false;
    }
    return true;
  };
  auto same = [&](std::string_view a, std::string_view capitals) {
    return a.size() == capitals.size() && starts(a.data(), a.size(), capitals);
  };
  auto name_of = [](const char* p, std::size_t n) {
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
    return std::string_view(p, n);
  };
  auto equal_names = [&](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
  };
  std::vector<std::string> stack;
  // How many times each name (in capitals) is open on the stack: a stray END is known at once
  // instead of by a search of the whole stack, which made a file of unmatched lines quadratic.
  std::unordered_map<std::string, std::size_t> open_names;
  auto capitals = [&](std::string_view name) {
    std::string key(name);
    for (char& c : key) c = upper(c);
    return key;
  };
  auto at_top = [&] { return stack.empty() || (stack.size() == 1 && same(stack[0], "VCALENDAR")); };
  struct Open {
    std::size_t offset = 0;
    bool is_item = false;
    bool is_override = false;
    std::string uid, tzid;
    // The start and the rule's end as written, for a look at the view without a parse.
    std::optional<double> start, until;
    int starts = 0, rules = 0;
    bool other_dates = false, folded = false;
  };
  std::optional<Open> open;
  bool own_level = false;  // the innermost open component is the block itself, not an alarm
  // A block found, kept small: a calendar of a million events holds a million of these at once.
  // Its UID lies in `uids`.
  struct Found {
    uint64_t offset = 0, length = 0;
    double start = 0.0;
    uint32_t uid_at = 0, uid_length = 0;
    float until = 0.0F;
    uint8_t quick = 0;
    bool is_override = false;
    std::string_view Uid(const std::string& uids) const {
      return {uids.data() + uid_at, uid_length};
    }
  };
  std::string uids;
  // What the start line and the rule tell, when they tell it plainly.
  auto quick_look = [](const Open& o, Found& f) {
    if (!o.start || o.starts != 1 || o.rules > 1 || o.other_dates || o.folded) return;
    f.quick = kQuickStart;
    f.start = *o.start;
    if (o.rules == 0) return;
    f.quick |= kQuickSeries;
    // A whole day on: an end given as a date takes in that day's occurrences.
    if (o.until) {
      f.quick |= kQuickEnds;
      f.until = static_cast<float>(*o.until + 1.0);
    }
  };
  const Open* last_property = nullptr;  // the block whose start or rule the last line was
  std::vector<Found> found;
  bool any_override = false;

  const char* line = nullptr;
  std::size_t n = 0, line_offset = 0, next = 0;
  while (source->Next(line, n, line_offset, next)) {
    if (n > 0 && line[n - 1] == '\r') --n;
    if (n == 0) continue;
    // A start or rule folded over several lines is left to the parse.
    if (line[0] == ' ' || line[0] == '\t') {
      if (last_property != nullptr && open) open->folded = true;
      continue;
    }
    last_property = nullptr;

    switch (upper(line[0])) {
      case 'B': {
        if (!starts(line, n, "BEGIN:")) break;
        const std::string_view name = name_of(line + 6, n - 6);
        if (at_top() && !open && (same(name, wanted) || same(name, "VTIMEZONE"))) {
          open.emplace();
          open->offset = line_offset;
          open->is_item = same(name, wanted);
        }
        stack.emplace_back(name);
        ++open_names[capitals(name)];
        own_level = open && stack.size() >= 1 && (same(name, wanted) || same(name, "VTIMEZONE"));
        break;
      }
      case 'E': {
        if (!starts(line, n, "END:")) break;
        const std::string_view name = name_of(line + 4, n - 4);
        // Close up to the matching BEGIN; a stray END is ignored.
        const auto count = open_names.find(capitals(name));
        if (count == open_names.end() || count->second == 0) break;
        while (true) {
          const std::string top = std::move(stack.back());
          stack.pop_back();
          --open_names[capitals(top)];
          if (equal_names(top, name)) break;
        }
        own_level = open && !stack.empty() &&
                    (same(stack.back(), wanted) || same(stack.back(), "VTIMEZONE"));
        if (open && at_top()) {
          const std::size_t block_length = next - open->offset;
          if (open->is_item) {
            Found& f = found.emplace_back();
            f.offset = open->offset;
            f.length = block_length;
            f.is_override = open->is_override;
            if (uids.size() + open->uid.size() <= std::numeric_limits<uint32_t>::max()) {
              f.uid_at = static_cast<uint32_t>(uids.size());
              f.uid_length = static_cast<uint32_t>(open->uid.size());
              uids += open->uid;
            }
            quick_look(*open, f);
            any_override = any_override || open->is_override;
          } else if (!open->tzid.empty()) {
            zone_blocks_[open->tzid] = {open->offset, block_length};
          }
          open.reset();
          own_level = false;
        }
        break;
      }
      case 'U':
      case 'R':
      case 'T':
      case 'D': {
        if (!open || !own_level) break;
        // Properties of the block itself, not of its alarms.
        auto value = [&](std::string_view property) -> std::optional<std::string_view> {
          const std::size_t k = property.size();
          if (n <= k || !starts(line, n, property)) return std::nullopt;
          if (line[k] != ':' && line[k] != ';') return std::nullopt;
          const void* colon = std::memchr(line + k, ':', n - k);
          if (colon == nullptr) return std::string_view();
          const char* v = static_cast<const char*>(colon) + 1;
          return std::string_view(v, static_cast<std::size_t>(line + n - v));
        };
        if (open->is_item) {
          if (value("RECURRENCE-ID")) open->is_override = true;
          if (auto uid = value("UID")) open->uid = std::string(*uid);
          if (value("DTSTART")) {
            open->start = RawWallClock(LineValue(std::string_view(line, n)));
            ++open->starts;
            last_property = &*open;
          } else if (const auto rule = value("RRULE")) {
            ++open->rules;
            last_property = &*open;
            for (std::size_t at = 0; at + 6 < rule->size(); ++at) {
              if ((at == 0 || (*rule)[at - 1] == ';') && starts(rule->data() + at, 6, "UNTIL=")) {
                const std::string_view v = rule->substr(at + 6);
                open->until = RawWallClock(v.substr(0, v.find(';')));
              }
            }
          } else if (value("RDATE")) {
            open->other_dates = true;
          }
        } else if (auto tzid = value("TZID")) {
          open->tzid = std::string(*tzid);
        }
        break;
      }
      default:
        break;
    }
  }

  // A file read once (by the inspector) keeps a small file's items, the span from the first to
  // the last: they then need no second opening. The zone definitions usually before them are read
  // again only for a zone the system does not know by name. Bounded for the whole process.
  if (keep_text_ && converted_.empty() && !found.empty()) {
    constexpr std::size_t kKeepAtMost = 64 * 1024;
    const std::string_view whole = source->Whole();
    std::size_t from = whole.size(), to = 0;
    for (const Found& f : found) {
      from = std::min<std::size_t>(from, f.offset);
      to = std::max<std::size_t>(to, f.offset + f.length);
    }
    if (whole.size() <= kKeepAtMost && from < to && to <= whole.size()) {
      kept_ = KeepForLife(whole.substr(from, to - from));
      kept_from_ = from;
    }
  }

  // Changed instances of a series belong to it, as in Outlook's item list; an instance whose
  // series is not in the file stands for itself.
  std::unordered_set<std::string_view> master_uids;
  if (any_override) {
    for (const auto& f : found) {
      if (!f.is_override && f.uid_length > 0) master_uids.insert(f.Uid(uids));
    }
  }
  std::unordered_map<std::string_view, std::size_t> masters;  // UID -> slot
  items_.reserve(found.size());
  for (const auto& f : found) {
    if (f.is_override && master_uids.count(f.Uid(uids)) > 0) continue;
    Slot slot;
    slot.offset = f.offset;
    slot.length = f.length;
    slot.flags = f.quick;
    slot.start = f.start;
    slot.quick_end = f.until;
    items_.push_back(std::move(slot));
    if (any_override && !f.is_override && f.uid_length > 0)
      masters.emplace(f.Uid(uids), items_.size() - 1);
  }
  for (const auto& f : found) {
    if (!f.is_override) continue;
    const auto master = masters.find(f.Uid(uids));
    if (master == masters.end()) continue;
    Slot& slot = items_[master->second];
    if (slot.overrides < 0) {
      slot.overrides = static_cast<int32_t>(override_blocks_.size());
      override_blocks_.emplace_back();
    }
    Block b;
    b.offset = f.offset;
    b.length = f.length;
    override_blocks_[static_cast<std::size_t>(slot.overrides)].push_back(b);
  }
}

std::string IcsFile::BlockText(const Block& b) const {
  if (!converted_.empty() || stamp_.size == 0) return converted_.substr(b.offset, b.length);
  if (!kept_.empty() && b.offset >= kept_from_ && b.offset - kept_from_ + b.length <= kept_.size())
    return std::string(kept_.substr(b.offset - kept_from_, b.length));
  std::string text(b.length, '\0');
  OpenBlockFile& open = open_block_file;
  if (open.file != serial_ || open.generation != generation_ || open.fd < 0) {
    open.Close();
    // The file was a regular one when indexed; anything else put in its place since reads short
    // and its blocks read as broken.
    open.fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    open.file = serial_;
    open.generation = generation_;
  }
  const int fd = open.fd;
  if (fd < 0) throw std::runtime_error("Cannot read " + path_ + ": " + std::strerror(ENOENT));
  std::size_t done = 0;
  while (done < b.length) {
    const ssize_t r =
        ::pread(fd, text.data() + done, b.length - done, static_cast<off_t>(b.offset + done));
    if (r <= 0) break;
    done += static_cast<std::size_t>(r);
  }
  text.resize(done);
  return text;
}

EventData IcsFile::Event(std::size_t index) {
  const auto guard = Guard();
  Slot& slot = items_.at(index);
  if (!slot.parsed) ParseEvent(slot);
  EventData data;
  data.subject = text_pool_.substr(slot.text, slot.subject_length);
  data.location = text_pool_.substr(slot.text + slot.subject_length, slot.location_length);
  data.body =
      text_pool_.substr(slot.text + slot.subject_length + slot.location_length, slot.body_length);
  data.start = slot.start;
  data.reminder_minutes = slot.reminder_minutes;
  data.reminder_set = (slot.flags & kReminderSet) != 0;
  data.all_day = (slot.flags & kAllDay) != 0;
  data.cancelled = (slot.flags & kCancelled) != 0;
  data.declined = (slot.flags & kDeclined) != 0;
  data.recurring = slot.recurring;
  if (slot.pattern >= 0) data.pattern = patterns_[static_cast<std::size_t>(slot.pattern)];
  if (slot.error >= 0) data.error = errors_[static_cast<std::size_t>(slot.error)];
  return data;
}

bool IcsFile::SurelyOutside(std::size_t index, TDateTime from, TDateTime to) const {
  const auto guard = Guard();
  const Slot& slot = items_.at(index);
  if (slot.parsed || slot.overrides >= 0 || !(slot.flags & kQuickStart)) return false;
  const double lo = from.Value() - kZoneSlack, hi = to.Value() + kZoneSlack;
  if (!(slot.flags & kQuickSeries)) return slot.start < lo || slot.start > hi;
  // A series: over when its rule ended before the window, not begun when it starts after it.
  if ((slot.flags & kQuickEnds) && slot.quick_end < lo) return true;
  return slot.start > hi;
}

void IcsFile::ParseEvent(Slot& slot) {
  slot.parsed = true;
  // libical builds and frees a tree per block; now and then hand the freed pages back, or a
  // sweep of a large calendar leaves the heap full of holes.
  if (++parsed_ % 1024 == 0) malloc_trim(0);
  auto fail = [&](std::string text) {
    slot.error = static_cast<int32_t>(errors_.size());
    errors_.push_back(std::move(text));
  };
  ComponentPtr c(icalparser_parse_string(EventLines(BlockText(slot), user_address_).c_str()));
  if (c == nullptr || icalcomponent_isa(c.get()) != ICAL_VEVENT_COMPONENT) {
    fail("unreadable event at byte " + std::to_string(slot.offset));
    return;
  }
  LocalTime start;
  const EventData e = ReadEvent(c.get(), Zones(), user_address_, start);
  // Texts longer than a length field holds are cut at a character boundary.
  auto pooled = [&](const std::string& text, uint16_t& length) {
    const std::string kept = ravenox::CutUtf8(text, 65535);
    length = static_cast<uint16_t>(kept.size());
    text_pool_ += kept;
  };
  slot.text = static_cast<uint32_t>(text_pool_.size());
  pooled(e.subject, slot.subject_length);
  pooled(e.location, slot.location_length);
  pooled(e.body, slot.body_length);
  if (!e.error.empty()) fail(e.error);
  slot.start = e.start.Value();
  slot.reminder_minutes = e.reminder_minutes;
  slot.flags =
      static_cast<uint8_t>((e.reminder_set ? kReminderSet : 0) | (e.all_day ? kAllDay : 0) |
                           (e.cancelled ? kCancelled : 0) | (e.declined ? kDeclined : 0));
  if (e.recurring) {
    slot.recurring = true;
    PatternData pattern;
    MapRule(c.get(), start, pattern);
    pattern.has_exceptions = slot.overrides >= 0 || icalcomponent_get_first_property(
                                                        c.get(), ICAL_EXDATE_PROPERTY) != nullptr;
    slot.pattern = static_cast<int32_t>(patterns_.size());
    patterns_.push_back(pattern);
  }
}

// A series' block, parsed again for its exceptions or an occurrence.
struct IcsFile::Series {
  ComponentPtr master;
  LocalTime start;
  const PatternData* pattern = nullptr;
};

IcsFile::Series IcsFile::OpenSeries(std::size_t index) {
  Slot& slot = items_.at(index);
  if (!slot.parsed) ParseEvent(slot);
  if (slot.error >= 0) throw std::runtime_error(errors_[static_cast<std::size_t>(slot.error)]);
  if (slot.pattern < 0) throw std::runtime_error("the appointment does not recur");
  Series series;
  series.master.reset(icalparser_parse_string(EventLines(BlockText(slot), user_address_).c_str()));
  if (series.master == nullptr || icalcomponent_isa(series.master.get()) != ICAL_VEVENT_COMPONENT)
    throw std::runtime_error("unreadable event at byte " + std::to_string(slot.offset));
  series.start = ReadTime(
      icalcomponent_get_first_property(series.master.get(), ICAL_DTSTART_PROPERTY), Zones());
  series.pattern = &patterns_[static_cast<std::size_t>(slot.pattern)];
  return series;
}

std::unique_lock<std::recursive_mutex> IcsFile::Guard() const {
  // Striped: a vdir holds thousands of files, and a lock each would cost more than most of them.
  static std::recursive_mutex stripes[64];
  return std::unique_lock(stripes[serial_ % 64]);
}

IcsFile::ZoneCache& IcsFile::Zones() {
  if (zones_ == nullptr) zones_ = std::make_unique<ZoneCache>(*this);
  return *zones_;
}

IcsFile::Answers& IcsFile::Kept() {
  // A bound on what is kept: the scans' questions about the days around now come back in a few
  // hundred entries; a caller walking far more days starts it afresh now and then.
  constexpr std::size_t kMostKept = 8192;
  if (answers_ == nullptr || answers_->Size() > kMostKept) answers_ = std::make_unique<Answers>();
  return *answers_;
}

std::vector<ExceptionData> IcsFile::Exceptions(std::size_t index) {
  const auto guard = Guard();
  {
    // Most series have none: nothing to keep for them.
    Slot& slot = items_.at(index);
    if (!slot.parsed) ParseEvent(slot);
    if (slot.pattern < 0 || !patterns_[static_cast<std::size_t>(slot.pattern)].has_exceptions)
      return {};
  }
  Answers& kept = Kept();
  const auto it = kept.exceptions.find(index);
  if (it != kept.exceptions.end()) return it->second;
  std::vector<ExceptionData> out = ReadExceptions(index);
  Kept().exceptions[index] = out;
  return out;
}

std::shared_ptr<const EventData> IcsFile::Occurrence(std::size_t index, TDateTime day) {
  const auto guard = Guard();
  const DayKey key{index, ravenox::DateOf(day).Value()};
  {
    Answers& kept = Kept();
    const auto it = kept.occurrences.find(key);
    if (it != kept.occurrences.end()) {
      if (!it->second.second.empty()) throw std::runtime_error(it->second.second);
      return it->second.first;
    }
  }
  std::pair<std::shared_ptr<const EventData>, std::string> answer;
  try {
    answer.first = std::make_shared<const EventData>(FindOccurrence(index, day));
  } catch (const std::exception& e) {
    answer.second = e.what();
    if (answer.second.empty()) answer.second = "the rule has no occurrence that day";
  }
  Kept().occurrences[key] = answer;
  if (!answer.second.empty()) throw std::runtime_error(answer.second);
  return answer.first;
}

std::vector<ExceptionData> IcsFile::ReadExceptions(std::size_t index) {
  std::vector<ExceptionData> out;
  {
    Slot& slot = items_.at(index);
    if (!slot.parsed) ParseEvent(slot);
    if (slot.pattern < 0 || !patterns_[static_cast<std::size_t>(slot.pattern)].has_exceptions)
      return out;
  }
  const Series series = OpenSeries(index);
  const double at = ravenox::TimeOf(series.pattern->start_time);
  icalcomponent* m = series.master.get();
  for (icalproperty* p = icalcomponent_get_first_property(m, ICAL_EXDATE_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(m, ICAL_EXDATE_PROPERTY)) {
    const LocalTime x = ReadTime(p, Zones());
    if (!x.present) continue;
    ExceptionData d;
    d.original = SeriesDay(x, series.start) + at;
    d.deleted = true;
    out.push_back(std::move(d));
  }
  const int32_t overrides = items_[index].overrides;
  if (overrides < 0) return out;
  for (const Block& b : override_blocks_[static_cast<std::size_t>(overrides)]) {
    ComponentPtr o(icalparser_parse_string(EventLines(BlockText(b), user_address_).c_str()));
    if (o == nullptr || icalcomponent_isa(o.get()) != ICAL_VEVENT_COMPONENT) continue;
    const LocalTime id =
        ReadTime(icalcomponent_get_first_property(o.get(), ICAL_RECURRENCEID_PROPERTY), Zones());
    if (!id.present) continue;
    ExceptionData d;
    d.original = SeriesDay(id, series.start) + at;
    LocalTime start;
    d.event = ReadEvent(o.get(), Zones(), user_address_, start);
    d.event.recurring = false;
    if (!d.event.error.empty()) continue;
    out.push_back(std::move(d));
  }
  return out;
}

EventData IcsFile::FindOccurrence(std::size_t index, TDateTime day) {
  const TDateTime wanted = ravenox::DateOf(day);
  for (ExceptionData& x : Exceptions(index)) {
    if (ravenox::DateOf(x.original) != wanted) continue;
    if (x.deleted) throw std::runtime_error("the occurrence was deleted");
    return std::move(x.event);
  }
  const Series series = OpenSeries(index);
  if (series.pattern->type == kNoExpansion || Impossible(*series.pattern))
    throw std::runtime_error("the rule has no occurrence that day");
  // The rule's occurrence that day, if it has one: a walk from the day itself, or for a counted
  // series from its start.
  icalproperty* rp = icalcomponent_get_first_property(series.master.get(), ICAL_RRULE_PROPERTY);
  const icalrecurrencetype rule = Normalized(icalproperty_get_rrule(rp), series.start);
  icalrecur_iterator* it = icalrecur_iterator_new(rule, series.start.raw);
  if (it == nullptr) throw std::runtime_error("the rule cannot be read");
  if (rule.count == 0) {
    icaltimetype from = series.start.raw;
    const ravenox::DateParts w = ravenox::DecodeDateTime(wanted);
    from.year = w.year;
    from.month = w.month;
    from.day = w.day;
    from.hour = from.minute = from.second = 0;
    if (icaltime_compare(from, series.start.raw) > 0) icalrecur_iterator_set_start(it, from);
  }
  icaltimetype found = icaltime_null_time();
  for (int step = 0; step < kMaxCountWalk; ++step) {
    const icaltimetype t = icalrecur_iterator_next(it);
    if (icaltime_is_null_time(t)) break;
    const TDateTime d = ravenox::EncodeDate(t.year, t.month, t.day);
    if (d == wanted) found = t;
    if (d >= wanted) break;
  }
  icalrecur_iterator_free(it);
  if (icaltime_is_null_time(found)) throw std::runtime_error("the rule has no occurrence that day");
  EventData e = Event(index);
  e.recurring = false;
  e.pattern = PatternData{};
  e.start = LocalOf(found, series.start);
  return e;
}

TDateTime IcsFile::TimeInZone(_icaltimezone* zone, TDateTime local) {
  if (zone == nullptr) return local;
  const TDateTime wall = WallClock(icaltime_from_timet_with_zone(UnixFromLocal(local), 0, zone));
  // Seconds and below as given: the wall clock has whole seconds only.
  return wall + (local.Value() * 86400.0 - std::floor(local.Value() * 86400.0)) / 86400.0;
}

TDateTime IcsFile::SeriesTime(std::size_t index, TDateTime local) {
  const auto guard = Guard();
  Slot& slot = items_.at(index);
  if (!slot.parsed) ParseEvent(slot);
  if (slot.pattern < 0) return local;
  return TimeInZone(patterns_[static_cast<std::size_t>(slot.pattern)].zone, local);
}

EventData IcsFile::Look(std::size_t index) {
  const auto guard = Guard();
  const Slot& slot = items_.at(index);
  if (slot.parsed) {
    EventData d;
    d.start = slot.start;
    d.recurring = slot.recurring;
    if (slot.pattern >= 0) d.pattern = patterns_[static_cast<std::size_t>(slot.pattern)];
    if (slot.error >= 0) d.error = errors_[static_cast<std::size_t>(slot.error)];
    return d;
  }
  // The parse's own verdicts, from the lines that decide them.
  EventData d;
  ComponentPtr c(
      icalparser_parse_string(EventLines(BlockText(slot), {}, kShapeProperties).c_str()));
  if (c == nullptr || icalcomponent_isa(c.get()) != ICAL_VEVENT_COMPONENT) {
    d.error = "unreadable event at byte " + std::to_string(slot.offset);
    return d;
  }
  const LocalTime start =
      ReadTime(icalcomponent_get_first_property(c.get(), ICAL_DTSTART_PROPERTY), Zones());
  if (!start.present) d.error = "event without a start";
  d.start = start.value;
  d.recurring =
      icalcomponent_get_first_property(c.get(), ICAL_RRULE_PROPERTY) != nullptr && start.present;
  if (d.recurring) {
    MapRule(c.get(), start, d.pattern);
    d.pattern.has_exceptions = slot.overrides >= 0 || icalcomponent_get_first_property(
                                                          c.get(), ICAL_EXDATE_PROPERTY) != nullptr;
  }
  return d;
}

std::size_t IcsFile::Fingerprint(std::size_t index) const {
  const auto guard = Guard();
  return std::hash<std::string>()(BlockText(items_.at(index)));
}

const TaskData& IcsFile::Task(std::size_t index) {
  const auto guard = Guard();
  Slot& b = items_.at(index);
  if (b.task) return *b.task;
  auto data = std::make_unique<TaskData>();
  ++parsed_;
  ComponentPtr c(icalparser_parse_string(BlockText(b).c_str()));
  if (c == nullptr || icalcomponent_isa(c.get()) != ICAL_VTODO_COMPONENT) {
    data->error = "unreadable task at byte " + std::to_string(b.offset);
    b.task = std::move(data);
    return *b.task;
  }
  data->subject = Text(c.get(), ICAL_SUMMARY_PROPERTY);
  const LocalTime start =
      ReadTime(icalcomponent_get_first_property(c.get(), ICAL_DTSTART_PROPERTY), Zones());
  const LocalTime due =
      ReadTime(icalcomponent_get_first_property(c.get(), ICAL_DUE_PROPERTY), Zones());
  // Outlook keeps task dates as days.
  if (start.present) data->start_date = ravenox::DateOf(start.value);
  if (due.present) data->due_date = ravenox::DateOf(due.value);

  const Trigger trigger = FirstTrigger(c.get());
  if (trigger.found) {
    if (trigger.absolute) {
      data->reminder_set = true;
      data->reminder_time = LocalFromUnix(trigger.at);
    } else {
      const LocalTime& anchor = trigger.related_end ? due : start;
      if (anchor.present) {
        data->reminder_set = true;
        data->reminder_time = LocalFromUnix(AsUnix(anchor) + trigger.seconds);
      }
    }
  }
  icalproperty* status = icalcomponent_get_first_property(c.get(), ICAL_STATUS_PROPERTY);
  icalproperty* percent = icalcomponent_get_first_property(c.get(), ICAL_PERCENTCOMPLETE_PROPERTY);
  data->complete =
      (status != nullptr && icalproperty_get_status(status) == ICAL_STATUS_COMPLETED) ||
      icalcomponent_get_first_property(c.get(), ICAL_COMPLETED_PROPERTY) != nullptr ||
      (percent != nullptr && icalproperty_get_percentcomplete(percent) >= 100);
  data->recurring = icalcomponent_get_first_property(c.get(), ICAL_RRULE_PROPERTY) != nullptr;
  b.task = std::move(data);
  return *b.task;
}

namespace {

// The wall-clock time `t` written like `like`: in its zone, as a floating time, or as a date.
icaltimetype TimeLike(time_t t, const LocalTime& like) {
  if (like.zone != nullptr) return icaltime_from_timet_with_zone(t, like.is_date, like.zone);
  std::tm tm{};
  localtime_r(&t, &tm);
  icaltimetype out = icaltime_null_time();
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.is_date = like.is_date;
  if (!like.is_date) {
    out.hour = tm.tm_hour;
    out.minute = tm.tm_min;
    out.second = tm.tm_sec;
  }
  return out;
}

}  // namespace

bool IcsFile::SkipRecurrence(std::size_t index, time_t today) {
  const auto guard = Guard();
  // Only a file that is still what was read may be written back.
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) return false;
  if (!(Stamp{st.st_size, st.st_mtim, st.st_ino} == stamp_) || !converted_.empty()) return false;
  const Block& b = items_.at(index);
  const std::string block = BlockText(b);
  ComponentPtr c(icalparser_parse_string(block.c_str()));
  if (c == nullptr || icalcomponent_isa(c.get()) != ICAL_VTODO_COMPONENT) return false;
  icalproperty* rrule = icalcomponent_get_first_property(c.get(), ICAL_RRULE_PROPERTY);
  icalproperty* dtstart = icalcomponent_get_first_property(c.get(), ICAL_DTSTART_PROPERTY);
  icalproperty* due = icalcomponent_get_first_property(c.get(), ICAL_DUE_PROPERTY);
  icalproperty* anchor_prop = dtstart != nullptr ? dtstart : due;
  if (rrule == nullptr || anchor_prop == nullptr) return false;

  const LocalTime anchor = ReadTime(anchor_prop, Zones());
  if (!anchor.present) return false;
  const LocalTime due_time = due != nullptr ? ReadTime(due, Zones()) : anchor;
  // How long after the instance's start it falls due.
  const long long due_after = due_time.present ? static_cast<long long>(AsUnix(due_time)) -
                                                     static_cast<long long>(AsUnix(anchor))
                                               : 0;
  // The task as libical writes it, before any change.
  char* before_text = icalcomponent_as_ical_string_r(c.get());
  const std::string before = before_text != nullptr ? before_text : "";
  free(before_text);
  icalrecurrencetype rule = icalproperty_get_rrule(rrule);
  icalrecur_iterator* it = icalrecur_iterator_new(rule, anchor.raw);
  if (it == nullptr) return false;
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
  if (icaltime_is_null_time(next)) return false;  // no instance after this one

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
  for (icalcomponent* a = icalcomponent_get_first_component(c.get(), ICAL_VALARM_COMPONENT);
       a != nullptr; a = icalcomponent_get_next_component(c.get(), ICAL_VALARM_COMPONENT)) {
    icalproperty* p = icalcomponent_get_first_property(a, ICAL_TRIGGER_PROPERTY);
    if (p == nullptr) continue;
    icaltriggertype trigger = icalproperty_get_trigger(p);
    if (icaltime_is_null_time(trigger.time)) continue;
    icaltimezone* utc = icaltimezone_get_utc_timezone();
    trigger.time = icaltime_from_timet_with_zone(
        static_cast<time_t>(icaltime_as_timet_with_zone(trigger.time, utc) + shift), 0, utc);
    icalproperty_set_trigger(p, trigger);
  }

  char* text = icalcomponent_as_ical_string_r(c.get());
  const std::string replacement = text != nullptr ? text : "";
  free(text);
  if (replacement.empty()) return false;
  // A skip that would leave the task where it is has not moved it.
  if (replacement == before) return false;

  std::string whole = ReadAll();
  if (whole.size() != static_cast<std::size_t>(stamp_.size) ||
      whole.compare(b.offset, b.length, block) != 0)
    return false;
  whole.replace(b.offset, b.length, replacement);
  ravenox::platform::WriteFileAtomically(path_, whole, 0600);
  stamp_ = Stamp{};
  Refresh();
  return true;
}

}  // namespace outlook::localstore
