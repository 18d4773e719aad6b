#include "outlook/ical/Times.h"

#include <unicode/ucal.h>
#include <unicode/ustring.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>
#include <unordered_map>

#include "outlook/ical/Libical.h"

namespace outlook::ical {
namespace {

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

icaltimezone* Builtin(const std::string& tzid) {
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

// Seconds since the epoch of a wall-clock reading, as if it were UTC.
long long WallSeconds(const icaltimetype& t) {
  const long long days = std::llround(ravenox::EncodeDate(t.year, t.month, t.day).Value()) - 25569;
  return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

}  // namespace

icaltimezone* KnownZone(const std::string& tzid) {
  // A vdir names the same few in thousands of files.
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

icaltimezone* ZoneFromDefinition(const std::string& text) {
  ComponentPtr c = Parse(text, ICAL_VTIMEZONE_COMPONENT);
  if (c == nullptr) return nullptr;
  icaltimezone* zone = icaltimezone_new();
  // On success the zone owns the component.
  if (!icaltimezone_set_component(zone, c.get())) {
    icaltimezone_free(zone, 1);
    return nullptr;
  }
  c.release();
  return zone;
}

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

LocalTime ReadTime(icalproperty* prop, ZoneLookup& zones) {
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

TDateTime WallClock(const icaltimetype& t) {
  if (t.is_date) return ravenox::EncodeDate(t.year, t.month, t.day);
  return ravenox::EncodeDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

TDateTime LocalOf(const icaltimetype& t, const LocalTime& like) {
  if (like.zone != nullptr) return LocalFromUnix(UnixOf(t, like.zone));
  return WallClock(t);
}

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

TDateTime LocalFromUnix(time_t t) {
  return ravenox::FromUnixLocal(t);
}

TDateTime TimeInZone(icaltimezone* zone, TDateTime local) {
  if (zone == nullptr) return local;
  const TDateTime wall = WallClock(icaltime_from_timet_with_zone(UnixFromLocal(local), 0, zone));
  // Seconds and below as given: the wall clock has whole seconds only.
  return wall + (local.Value() * 86400.0 - std::floor(local.Value() * 86400.0)) / 86400.0;
}

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

}  // namespace outlook::ical
