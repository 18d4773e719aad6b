#include "Generate.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

// The day of event `i`: spread over ten and a half years from 2014 (the bench's now is
// 2024-06-03), or from `first_day`.
std::array<int, 3> DayOf(int i, std::optional<ravenox::TDateTime> first_day) {
  const int day = i % 3850;
  if (first_day) {
    const ravenox::DateParts p = ravenox::DecodeDateTime(*first_day + day);
    return {p.year, p.month, p.day};
  }
  return {2014 + (day / 365) % 11, 1 + (day % 365) / 31 % 12, 1 + day % 28};
}

}  // namespace

std::string RealisticEvent(int i, std::optional<ravenox::TDateTime> first_day) {
  static const char* const kZones[] = {"Europe/Berlin", "America/New_York", ""};
  const char* zone = kZones[i % 3];
  const auto [y, m, d] = DayOf(i, first_day);
  char start[32];
  std::snprintf(start, sizeof start, "%04d%02d%02dT%02d%02d00", y, m, d, 7 + i % 11, (i % 4) * 15);
  std::ostringstream out;
  out << "BEGIN:VEVENT\r\nUID:real-" << i << "@example.org\r\nDTSTAMP:20200101T000000Z\r\n";
  if (*zone != '\0') {
    out << "DTSTART;TZID=" << zone << ":" << start << "\r\n";
  } else {
    out << "DTSTART:" << start << "Z\r\n";
  }
  out << "SUMMARY:Meeting " << i << " on the quarterly plan\r\nLOCATION:Room " << i % 40
      << "\r\nDESCRIPTION:Agenda: last week\\, open points\\, next steps for item " << i << ".\r\n"
      << "ORGANIZER:mailto:boss" << i % 7 << "@example.org\r\n"
      << "ATTENDEE;PARTSTAT=ACCEPTED:mailto:a" << i % 13 << "@example.org\r\n"
      << "ATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:me@example.org\r\n";
  if (i % 10 < 3) {
    switch (i % 6) {
      case 0:
        out << "RRULE:FREQ=WEEKLY;BYDAY=MO,WE;COUNT=" << 5 + i % 40 << "\r\n";
        break;
      case 1:
        out << "RRULE:FREQ=DAILY;UNTIL=" << y + 1 << "0101T000000Z\r\n";
        break;
      case 2:
        out << "RRULE:FREQ=MONTHLY;INTERVAL=2;COUNT=" << 3 + i % 12 << "\r\n";
        break;
      case 3:
        out << "RRULE:FREQ=WEEKLY;INTERVAL=2;BYDAY=TU\r\nEXDATE" << (*zone ? ";TZID=" : "") << zone
            << (*zone ? ":" : ":") << start << (*zone ? "" : "Z") << "\r\n";
        break;
      case 4:
        out << "RRULE:FREQ=YEARLY\r\n";
        break;
      default:
        out << "RRULE:FREQ=MONTHLY;BYDAY=2TH;UNTIL=" << y + 2 << "0101T000000Z\r\n";
        break;
    }
  }
  if (i % 4 != 0) {
    out << "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT" << 5 + i % 4 * 10
        << "M\r\nDESCRIPTION:Reminder\r\nEND:VALARM\r\n";
  }
  out << "END:VEVENT\r\n";
  return out.str();
}

extern const char* const kZoneBlocks;
const char* const kZoneBlocks =
    "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\n"
    "TZOFFSETTO:+0200\r\nDTSTART:19700329T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\n"
    "END:DAYLIGHT\r\nBEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
    "DTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
    "END:VTIMEZONE\r\n"
    "BEGIN:VTIMEZONE\r\nTZID:America/New_York\r\nBEGIN:DAYLIGHT\r\nTZOFFSETFROM:-0500\r\n"
    "TZOFFSETTO:-0400\r\nDTSTART:20070311T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU\r\n"
    "END:DAYLIGHT\r\nBEGIN:STANDARD\r\nTZOFFSETFROM:-0400\r\nTZOFFSETTO:-0500\r\n"
    "DTSTART:20071104T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU\r\nEND:STANDARD\r\n"
    "END:VTIMEZONE\r\n";

namespace {

// The same events for remind(1), each as one dated reminder (the series as their first date).
void WriteRemind(const std::filesystem::path& file, int events,
                 std::optional<ravenox::TDateTime> first_day, const std::string& extra) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::ofstream out(file, std::ios::binary);
  for (int i = 0; i < events; ++i) {
    const auto [y, m, d] = DayOf(i, first_day);
    out << "REM " << d << " " << kMonths[m - 1] << " " << y << " AT " << 7 + i % 11 << ":"
        << (i % 4) * 15 << " MSG Meeting " << i << " on the quarterly plan\n";
  }
  out << extra;
}

}  // namespace

void WriteCalendars(const std::filesystem::path& dir, const std::string& name, int events,
                    std::optional<ravenox::TDateTime> first_day, const std::string& extra_ics,
                    const std::string& extra_rem) {
  {
    std::ofstream out(dir / (name + ".ics"), std::ios::binary);
    out << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n" << kZoneBlocks;
    for (int i = 0; i < events; ++i) out << RealisticEvent(i, first_day);
    out << extra_ics << "END:VCALENDAR\r\n";
  }
  WriteRemind(dir / (name + ".rem"), events, first_day, extra_rem);
  if (events > 100000) return;
  const auto vdir = dir / name;
  std::filesystem::create_directories(vdir);
  auto write = [&](const std::string& file, const std::string& event) {
    std::ofstream(vdir / file, std::ios::binary)
        << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n"
        << kZoneBlocks << event << "END:VCALENDAR\r\n";
  };
  for (int i = 0; i < events; ++i)
    write("real-" + std::to_string(i) + ".ics", RealisticEvent(i, first_day));
  if (!extra_ics.empty()) write("extra.ics", extra_ics);
}

}  // namespace bench
