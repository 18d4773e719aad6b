// Generated recurring meetings of every kind the engine expands, in zones other than the user's,
// with reminders of minutes to days: the calendar oracle's series, shared by the tests that read
// them from a file and through the desktop's calendar service.
#pragma once

#include <array>
#include <random>
#include <string>
#include <vector>

#include "base/DateTime.h"

namespace ravenox::engine {

inline const char* const kSeriesZones[] = {
    "America/New_York", "Europe/Berlin",    "Asia/Kolkata", "Australia/Sydney",
    "America/Denver",   "Pacific/Auckland", "UTC"};
inline const char* const kUserZones[] = {"UTC", "Europe/Berlin", "America/New_York",
                                         "Australia/Sydney", "Asia/Kolkata"};
inline const char* const kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

struct Series {
  std::string zone, text;
  int lead = 15;  // minutes
};

// The `n`-th (1-4, -1 last) day of the month whose weekday is in `mask`.
inline int NthDay(int year, int month, int n, int mask) {
  std::vector<int> days;
  for (int d = 1; d <= DaysInMonth(year, month); ++d)
    if ((mask >> (DayOfWeek(EncodeDate(year, month, d)) - 1)) & 1) days.push_back(d);
  if (days.empty()) return 0;
  if (n == -1) return days.back();
  return n <= static_cast<int>(days.size()) ? days[static_cast<std::size_t>(n - 1)] : 0;
}

inline std::string Mask(int mask) {
  std::string out;
  for (int w = 0; w < 7; ++w)
    if ((mask >> w) & 1) out += std::string(out.empty() ? "" : ",") + kDays[w];
  return out;
}

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

  Series Make(int uid) {
    Series s;
    s.zone = kSeriesZones[Pick(0, std::size(kSeriesZones) - 1)];
    int year = Pick(2025, 2027), month = Pick(1, 12), day = Pick(1, 28);
    const int hour = Pick(0, 23), minute = 15 * Pick(0, 3);
    const int interval = std::max(1, Pick(-2, 4));
    std::string rule;
    const int weekday = [&] { return DayOfWeek(EncodeDate(year, month, day)); }();
    const int own = 1 << (weekday - 1);
    const int position = std::array{1, 2, 3, 4, -1}[static_cast<std::size_t>(Pick(0, 4))];
    switch (Pick(0, 8)) {
      case 0:
        rule = "FREQ=DAILY";
        break;
      case 1:
        rule = "FREQ=DAILY;BYDAY=" + Mask(own | Pick(0, 127));
        break;
      case 2:
      case 3:
        rule = "FREQ=WEEKLY;BYDAY=" + Mask(own | (Pick(0, 1) ? Pick(0, 127) : 0)) +
               std::array{"", ";WKST=SU", ";WKST=MO"}[static_cast<std::size_t>(Pick(0, 2))];
        break;
      case 4:  // a day of the month, the 29th to 31st too
        day = Pick(0, 3) == 0 ? Pick(29, 31) : day;
        month = day > 28 ? 1 : month;
        rule = "FREQ=MONTHLY" + std::string(Pick(0, 1) ? ";BYMONTHDAY=" + std::to_string(day) : "");
        break;
      case 5: {  // the n-th weekday
        const int w = Pick(0, 6);
        day = NthDay(year, month, position, 1 << w);
        rule = "FREQ=MONTHLY;BYDAY=" + std::to_string(position) + kDays[w];
        break;
      }
      case 6: {  // the n-th of several weekdays
        const int mask = Pick(0, 1) ? 62 : 127;
        day = NthDay(year, month, position, mask);
        rule = "FREQ=MONTHLY;BYDAY=" + Mask(mask) + ";BYSETPOS=" + std::to_string(position);
        break;
      }
      case 7:
        if (Pick(0, 5) == 0) {
          year = 2024, month = 2, day = 29;
        }
        rule =
            "FREQ=YEARLY;BYMONTH=" + std::to_string(month) + ";BYMONTHDAY=" + std::to_string(day);
        break;
      default: {
        const int w = Pick(0, 6);
        day = NthDay(year, month, position, 1 << w);
        rule = "FREQ=YEARLY;BYMONTH=" + std::to_string(month) +
               ";BYDAY=" + std::to_string(position) + kDays[w];
        break;
      }
    }
    rule += ";INTERVAL=" + std::to_string(interval);
    if (const int end = Pick(0, 3); end == 0) {
      rule += ";COUNT=" + std::to_string(Pick(1, 40));
    } else if (end == 1) {
      const TDateTime until = EncodeDate(year, month, day) + Pick(5, 900);
      const DateParts u = DecodeDateTime(until);
      char text[32];
      std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d00Z", u.year, u.month, u.day,
                    Pick(0, 23), 15 * Pick(0, 3));
      rule += std::string(";UNTIL=") + text;
    }
    char start[32];
    std::snprintf(start, sizeof start, "%04d%02d%02dT%02d%02d00", year, month, day, hour, minute);
    // Now and then a reminder of a day or more, which falls on an earlier day than its meeting.
    s.lead = Pick(0, 8) == 0 ? 0 : Pick(0, 9) == 0 ? 60 * Pick(12, 60) : Pick(1, 120);
    s.text = "BEGIN:VEVENT\r\nUID:s" + std::to_string(uid) + "\r\nSUMMARY:Series " +
             std::to_string(uid) + "\r\n" +
             (s.zone == "UTC" ? "DTSTART:" + std::string(start) + "Z"
                              : "DTSTART;TZID=" + s.zone + ":" + start) +
             "\r\nRRULE:" + rule + "\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT" +
             std::to_string(s.lead) + "M\r\nEND:VALARM\r\nEND:VEVENT\r\n";
    return s;
  }

 private:
  std::mt19937 rng_;
};

// A calendar's head and `n` generated series (their ends still to be written), kept in `series`.
inline std::string Generated(Generator& g, int n, std::vector<Series>& series) {
  std::string calendar = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n";
  for (int i = 0; i < n; ++i) {
    series.push_back(g.Make(i));
    calendar += series.back().text;
  }
  return calendar;
}

}  // namespace ravenox::engine
