// The calendar scan's view of recurring meetings, checked against libical's own expansion of the
// same events: generated series of every kind the engine expands, in zones other than the user's,
// looked at from several user zones at random times and across daylight-saving changes.
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

#include "EngineFakes.h"
#include "SeriesGenerator.h"
#include "base/Formats.h"
#include "outlook/localstore/LocalStore.h"

namespace ravenox::engine {
namespace {

using testing::EngineRig;
using testing::TempDir;

time_t UnixFromLocal(TDateTime t) {
  std::tm tm = ToTm(t);
  tm.tm_isdst = -1;
  return mktime(&tm);
}

long long WallSeconds(const icaltimetype& t) {
  return (std::llround(EncodeDate(t.year, t.month, t.day).Value()) - 25569) * 86400 +
         t.hour * 3600 + t.minute * 60 + t.second;
}

// The moment a wall-clock time of `zone` stands for, found by converting moments around it to
// the zone's clock: the first that reads it, or in a skipped hour the reading with the offset
// before the gap.
time_t Moment(const icaltimetype& t, icaltimezone* zone) {
  const long long want = WallSeconds(t);
  const time_t guess = static_cast<time_t>(want);
  time_t before = guess - 16 * 3600;
  for (time_t u = guess - 16 * 3600; u <= guess + 16 * 3600; u += 900) {
    const long long wall = WallSeconds(icaltime_from_timet_with_zone(u, 0, zone));
    if (wall == want) return u;
    if (wall < want) before = u;
  }
  return static_cast<time_t>(
      want - (WallSeconds(icaltime_from_timet_with_zone(before, 0, zone)) - before));
}

TDateTime DayOf(const icaltimetype& t) {
  return EncodeDate(t.year, t.month, t.day);
}

struct Expected {
  bool taken = false;
  TDateTime start, notify;
};

// The starts of a series' occurrences, in the user's local time, on its own calendar's today (at
// `now`) and the next `days` - 1 days, as libical expands them.
std::vector<TDateTime> Occurrences(const Series& s, TDateTime now, int days) {
  std::vector<TDateTime> out;
  icalcomponent* c = icalparser_parse_string(s.text.c_str());
  icaltimezone* zone = s.zone == "UTC" ? icaltimezone_get_utc_timezone()
                                       : icaltimezone_get_builtin_timezone(s.zone.c_str());
  // Expanded on the wall clock of the series' zone, each occurrence then placed in time.
  icaltimetype start = icalcomponent_get_dtstart(c);
  start.zone = nullptr;
  icalrecurrencetype rule =
      icalproperty_get_rrule(icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY));
  if (!icaltime_is_null_time(rule.until)) {
    rule.until = icaltime_from_timet_with_zone(
        icaltime_as_timet_with_zone(rule.until, icaltimezone_get_utc_timezone()), 0, zone);
    rule.until.zone = nullptr;
  }
  const TDateTime today = DayOf(icaltime_from_timet_with_zone(UnixFromLocal(now), 0, zone));
  icalrecur_iterator* it = icalrecur_iterator_new(rule, start);
  if (rule.count == 0) {
    icaltimetype from = start;
    const DateParts d = DecodeDateTime(today - 1.0);
    from.year = d.year, from.month = d.month, from.day = d.day;
    if (icaltime_compare(from, start) > 0) icalrecur_iterator_set_start(it, from);
  }
  for (int i = 0; i < 100000; ++i) {
    const icaltimetype t = icalrecur_iterator_next(it);
    if (icaltime_is_null_time(t) || DayOf(t) > today + (days - 1)) break;
    if (DayOf(t) >= today) out.push_back(FromUnixLocal(Moment(t, zone)));
  }
  icalrecur_iterator_free(it);
  icalcomponent_free(c);
  return out;
}

bool ReminderOver(TDateTime now, TDateTime notify) {
  return now - 2 * kOneMinute > notify;
}

// libical's answer: of the series' occurrences on its own calendar's today and the next three days,
// the first whose reminder is still to come (not more than two minutes past), else the first;
// taken when it starts between an hour ago and three days ahead.
Expected Oracle(const Series& s, TDateTime now) {
  Expected out;
  const std::vector<TDateTime> starts = Occurrences(s, now, 4);
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const TDateTime notify = starts[i] - s.lead * kOneMinute;
    if (i == 0 || !ReminderOver(now, notify)) {
      out.start = starts[i];
      out.notify = notify;
      out.taken = !(now - kOneHour > out.start) && !(now + 3.0 < out.start);
    }
    if (!ReminderOver(now, notify)) break;
  }
  return out;
}

// Reference times: at random over three years, in the nights of daylight-saving changes (of
// Europe, North America and Australia in 2026), and in the series' first weeks.
std::vector<TDateTime> ReferenceTimes(Generator& g, const Series& s) {
  std::vector<TDateTime> out;
  auto minute = [&] { return g.Pick(0, 1439) / 1440.0; };
  for (int i = 0; i < 5; ++i) out.push_back(EncodeDate(2025, 6, 1) + g.Pick(0, 940) + minute());
  static const TDateTime kChanges[] = {EncodeDate(2026, 3, 8),   EncodeDate(2026, 3, 29),
                                       EncodeDate(2026, 4, 5),   EncodeDate(2026, 10, 4),
                                       EncodeDate(2026, 10, 25), EncodeDate(2026, 11, 1)};
  for (int i = 0; i < 3; ++i) out.push_back(kChanges[g.Pick(0, 5)] + g.Pick(-3, 1) + minute());
  icalcomponent* c = icalparser_parse_string(s.text.c_str());
  const TDateTime first = DayOf(icalcomponent_get_dtstart(c));
  icalcomponent_free(c);
  for (int i = 0; i < 2; ++i) out.push_back(first + g.Pick(-2, 20) + minute());
  return out;
}

class RecurrenceOracle : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

TEST_F(RecurrenceOracle, TheScanTakesWhatLibicalExpands) {
  // RAVENOX_ORACLE_SEED picks other series for a longer hunt.
  const char* seed = std::getenv("RAVENOX_ORACLE_SEED");
  Generator g(seed != nullptr ? static_cast<unsigned>(std::strtoul(seed, nullptr, 10)) : 20261208u);
  std::vector<Series> series;
  std::string calendar = Generated(g, 400, series);
  calendar += "END:VCALENDAR\r\n";
  TempDir dir;
  const auto path = dir.path() / "series.ics";
  std::ofstream(path, std::ios::binary) << calendar;

  int compared = 0, taken = 0, disagreements = 0;
  for (const char* user_zone : kUserZones) {
    setenv("TZ", user_zone, 1);
    tzset();
    outlook::localstore::StoreProfile profile;
    profile.calendars = {path};
    const auto store =
        outlook::localstore::OpenLocalStore(profile, {}, outlook::localstore::FolderScope::kWhole);
    const auto folder = store->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderCalendar);
    ASSERT_EQ(folder->Items()->Count(), static_cast<int>(series.size()));
    EngineRig rig;
    auto p = rig.Make();
    p->DebugEnabled = false;
    for (std::size_t i = 0; i < series.size(); ++i) {
      const auto appointment =
          outlook::As<outlook::AppointmentItem>(folder->Items()->Item(static_cast<int>(i) + 1));
      for (const TDateTime now : ReferenceTimes(g, series[i])) {
        const Expected want = Oracle(series[i], now);
        Expected got;
        std::string why;
        for (const auto& m : p->ReadMeeting(*appointment, now, now)) {
          if (m.skipped != nullptr) {
            why += std::string(" (") + m.skipped + " " + m.detail + FormatDateTime(m.start) + ")";
            continue;
          }
          got = {true, m.start, m.notify};
        }
        ++compared;
        taken += want.taken ? 1 : 0;
        if (got.taken == want.taken &&
            (!want.taken || (got.start == want.start && got.notify == want.notify)))
          continue;
        if (++disagreements <= 10) {
          ADD_FAILURE() << "user zone " << user_zone << ", at " << FormatDateTime(now) << ":\n"
                        << series[i].text
                        << "libical: " << (want.taken ? FormatDateTime(want.start) : "nothing")
                        << ", the scan: " << (got.taken ? FormatDateTime(got.start) : "nothing")
                        << why;
        }
      }
    }
  }
  EXPECT_EQ(disagreements, 0) << "of " << compared;
  EXPECT_GT(compared, 15000);
  EXPECT_GT(taken, compared / 10);  // the comparison covers occurrences, not only empty windows
}

// The engine stepped hour by hour over three days (across a change of daylight-saving time) on
// a calendar of generated series, read through the store's view as the program reads it: every
// reminder that falls due within the next hour is held, at its time, after each step's sweep;
// also those that fall on an earlier day than their meeting.
TEST_F(RecurrenceOracle, EveryReminderIsHeldBeforeItComes) {
  Generator g(20261210u);
  std::vector<Series> series;
  std::string calendar = Generated(g, 300, series);
  // Just after midnight with the reminder before it; a reminder of one and of two days.
  for (const auto& [n, start, lead] :
       {std::tuple{300, "T001000", 30}, {301, "T090000", 1440}, {302, "T233000", 2880}}) {
    series.push_back({"UTC", "", lead});
    series.back().text = "BEGIN:VEVENT\r\nUID:s" + std::to_string(n) + "\r\nSUMMARY:Series " +
                         std::to_string(n) + "\r\nDTSTART:20260301" + start +
                         "Z\r\nRRULE:FREQ=DAILY\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT" +
                         std::to_string(lead) + "M\r\nEND:VALARM\r\nEND:VEVENT\r\n";
    calendar += series.back().text;
  }
  calendar += "END:VCALENDAR\r\n";
  TempDir dir;
  const auto path = dir.path() / "series.ics";
  std::ofstream(path, std::ios::binary) << calendar;
  setenv("TZ", "Europe/Berlin", 1);
  tzset();

  EngineRig rig;
  rig.host.meeting = true;
  outlook::localstore::StoreProfile profile;
  profile.calendars = {path};
  rig.env.connector = [&] { return outlook::localstore::OpenLocalStore(profile, rig.Now()); };
  auto p = rig.Make();
  p->DebugEnabled = false;
  int due = 0, missed = 0;
  for (int hour = 0; hour < 72; ++hour) {
    const TDateTime now = EncodeDateTime(2026, 3, 27, 0, 0) + hour / 24.0;
    rig.clock->Set(now);
    for (const int sweep = p->CalendarSweep; p->CalendarSweep == sweep;) p->CheckAppointments();
    std::map<std::string, const TEventItem*> held;
    for (int i = 0; i < p->NotifyList.Count(); ++i) {
      const TEventItem& r = p->NotifyList[i];
      const auto at = r.Text.find(":Series ");
      held[r.Text.substr(at + 1, r.Text.find(' ', at + 8) - at - 1)] = &r;
    }
    for (std::size_t i = 0; i < series.size(); ++i) {
      for (const TDateTime start : Occurrences(series[i], now, 4)) {
        const TDateTime notify = start - series[i].lead * kOneMinute;
        if (!(now < notify && notify <= now + kOneHour)) continue;
        ++due;
        const auto r = held.find("Series " + std::to_string(i));
        if (r == held.end() || r->second->NotifyTime != notify) {
          if (++missed <= 10) {
            ADD_FAILURE() << "at " << FormatDateTime(now) << " the reminder at "
                          << FormatDateTime(notify) << " is not held:\n"
                          << series[i].text;
          }
        }
      }
    }
  }
  EXPECT_EQ(missed, 0) << "of " << due;
  EXPECT_GT(due, 50);
}

// The calendar the engine reads is a view of the items that matter around now. What it leaves out
// must be what the scan would pass over: the scan through the view and through the whole folder
// takes the same meetings at the same times, on generated calendars of series (some with an
// occurrence moved far), single meetings near the moments looked at, and many far from them.
TEST_F(RecurrenceOracle, TheViewLeavesOutOnlyWhatTheScanPassesOver) {
  Generator g(20261209u);
  std::vector<TDateTime> moments;
  for (int i = 0; i < 12; ++i)
    moments.push_back(EncodeDate(2025, 6, 1) + g.Pick(0, 940) + g.Pick(0, 1439) / 1440.0);
  auto stamp = [](TDateTime t) {
    const DateParts d = DecodeDateTime(t);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d00", d.year, d.month, d.day, d.hour,
                  d.minute);
    return std::string(text);
  };
  std::string calendar = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n";
  for (int i = 0; i < 300; ++i) {
    const Series series = g.Make(i);
    calendar += series.text;
    if (g.Pick(0, 9) == 0) {
      // Its first occurrence moved near one of the moments.
      icalcomponent* c = icalparser_parse_string(series.text.c_str());
      const icaltimetype first = icalcomponent_get_dtstart(c);
      icalcomponent_free(c);
      const TDateTime to =
          moments[static_cast<std::size_t>(g.Pick(0, 11))] + g.Pick(-3 * 24, 4 * 24) / 24.0;
      calendar +=
          "BEGIN:VEVENT\r\nUID:s" + std::to_string(i) + "\r\nRECURRENCE-ID" +
          (series.zone == "UTC" ? ":" + std::string(icaltime_as_ical_string(first))
                                : ";TZID=" + series.zone + ":" + icaltime_as_ical_string(first)) +
          "\r\nSUMMARY:Moved " + std::to_string(i) + "\r\nDTSTART:" + stamp(to) +
          "Z\r\nEND:VEVENT\r\n";
    }
  }
  int uid = 0;
  // In UTC, in the zones furthest apart, floating, and as a whole day.
  auto single = [&](TDateTime start) {
    const std::string n = std::to_string(++uid);
    const std::string forms[] = {":" + stamp(start) + "Z",
                                 ";TZID=Pacific/Kiritimati:" + stamp(start),
                                 ";TZID=Pacific/Pago_Pago:" + stamp(start), ":" + stamp(start),
                                 ";VALUE=DATE:" + stamp(start).substr(0, 8)};
    calendar += "BEGIN:VEVENT\r\nUID:m" + n + "\r\nSUMMARY:Meeting " + n + "\r\nDTSTART" +
                forms[uid % 5] + "\r\nEND:VEVENT\r\n";
  };
  for (const TDateTime m : moments) {
    for (int i = 0; i < 25; ++i) single(m + g.Pick(-6 * 24 * 4, 6 * 24 * 4) / 96.0);
    // Begun 50 minutes before the moment for a user in Kiritimati (UTC+14), written 25 hours
    // earlier on the wall clock of Pago Pago (UTC-11).
    calendar += "BEGIN:VEVENT\r\nUID:p" + std::to_string(++uid) +
                "\r\nSUMMARY:Far west\r\nDTSTART;TZID=Pacific/Pago_Pago:" +
                stamp(m - 50 / 1440.0 - 25 / 24.0) + "\r\nEND:VEVENT\r\n";
  }
  for (int i = 0; i < 600; ++i) single(EncodeDate(2020, 1, 1) + g.Pick(0, 4000) + 0.5);
  calendar += "END:VCALENDAR\r\n";
  TempDir dir;
  const auto path = dir.path() / "mixed.ics";
  std::ofstream(path, std::ios::binary) << calendar;

  using Taken = std::set<std::tuple<std::string, double, double>>;
  auto scan = [](outlook::MAPIFolder& folder, TOutlookProcessor& p, TDateTime now) {
    Taken taken;
    const int count = folder.Items()->Count();
    for (int i = 1; i <= count; ++i) {
      const auto a = outlook::As<outlook::AppointmentItem>(folder.Items()->Item(i));
      for (const auto& m : p.ReadMeeting(*a, now, now)) {
        if (m.skipped == nullptr) taken.emplace(m.text, m.start.Value(), m.notify.Value());
      }
    }
    return std::pair{taken, count};
  };
  int looked = 0, meetings = 0;
  for (const char* user_zone :
       {"UTC", "America/New_York", "Asia/Kolkata", "Pacific/Auckland", "Pacific/Kiritimati"}) {
    SCOPED_TRACE(user_zone);
    setenv("TZ", user_zone, 1);
    tzset();
    outlook::localstore::StoreProfile profile;
    profile.calendars = {path};
    const auto whole =
        outlook::localstore::OpenLocalStore(profile, {}, outlook::localstore::FolderScope::kWhole)
            ->GetNamespace("MAPI")
            ->GetDefaultFolder(outlook::olFolderCalendar);
    EngineRig rig;
    auto p = rig.Make();
    p->DebugEnabled = false;
    const auto view = outlook::localstore::OpenLocalStore(profile, rig.Now())
                          ->GetNamespace("MAPI")
                          ->GetDefaultFolder(outlook::olFolderCalendar);
    std::vector<TDateTime> times = moments;
    for (int i = 0; i < 6; ++i)
      times.push_back(moments[static_cast<std::size_t>(g.Pick(0, 11))] +
                      g.Pick(0, 96) / 24.0);  // the view moving on
    std::sort(times.begin(), times.end());
    for (const TDateTime now : times) {
      SCOPED_TRACE(FormatDateTime(now));
      rig.clock->Set(now);
      const auto [all, all_count] = scan(*whole, *p, now);
      const auto [seen, seen_count] = scan(*view, *p, now);
      EXPECT_EQ(seen, all);
      EXPECT_LT(seen_count * 4, all_count);  // the view is a small part of the calendar
      ++looked;
      meetings += static_cast<int>(all.size());
    }
  }
  EXPECT_EQ(looked, 90);
  EXPECT_GT(meetings, 90 * 10);  // the moments have meetings to take
}

// The end of a counted series and the count of one with an end date, which the store works out
// by arithmetic for weekly, monthly and yearly rules (by day and by the n-th weekday), against
// libical's own walk of the rule.
TEST_F(RecurrenceOracle, EndsAndCountsAgreeWithLibical) {
  Generator g(20261210u);
  std::vector<Series> series;
  std::string calendar = Generated(g, 600, series);
  // And rules whose first day is not one of their days.
  for (int i = 600; i < 900; ++i) {
    Series s;
    char start[32];
    std::snprintf(start, sizeof start, "%04d%02d%02dT%02d0000", g.Pick(2024, 2027), g.Pick(1, 12),
                  g.Pick(1, 28), g.Pick(0, 23));
    std::string rule;
    const std::string nth = std::to_string(std::array{1, 2, 3, 4, -1}[g.Pick(0, 4)]);
    switch (g.Pick(0, 4)) {
      case 3:
        rule = "FREQ=MONTHLY;BYDAY=" + nth + kDays[g.Pick(0, 6)];
        break;
      case 4:
        rule = "FREQ=YEARLY;BYMONTH=" + std::to_string(g.Pick(1, 12)) + ";BYDAY=" + nth +
               kDays[g.Pick(0, 6)];
        break;
      case 0:
        rule = "FREQ=WEEKLY;BYDAY=" + Mask(g.Pick(1, 127)) +
               std::array{"", ";WKST=SU", ";WKST=WE"}[static_cast<std::size_t>(g.Pick(0, 2))];
        break;
      case 1:
        rule = "FREQ=MONTHLY;BYMONTHDAY=" + std::to_string(g.Pick(1, 28));
        break;
      default:
        rule = "FREQ=YEARLY;BYMONTH=" + std::to_string(g.Pick(1, 12)) +
               ";BYMONTHDAY=" + std::to_string(g.Pick(1, 28));
        break;
    }
    rule += ";INTERVAL=" + std::to_string(g.Pick(1, 4));
    rule += g.Pick(0, 1) ? ";COUNT=" + std::to_string(g.Pick(1, 60))
                         : ";UNTIL=" + std::to_string(g.Pick(2025, 2032)) + "0615T120000Z";
    s.text = "BEGIN:VEVENT\r\nUID:x" + std::to_string(i) + "\r\nSUMMARY:x\r\nDTSTART:" + start +
             "Z\r\nRRULE:" + rule + "\r\nEND:VEVENT\r\n";
    series.push_back(s);
    calendar += s.text;
  }
  TempDir dir;
  const auto path = dir.path() / "ends.ics";
  std::ofstream(path, std::ios::binary) << calendar << "END:VCALENDAR\r\n";
  setenv("TZ", "UTC", 1);
  tzset();
  outlook::localstore::StoreProfile profile;
  profile.calendars = {path};
  const auto folder =
      outlook::localstore::OpenLocalStore(profile, {}, outlook::localstore::FolderScope::kWhole)
          ->GetNamespace("MAPI")
          ->GetDefaultFolder(outlook::olFolderCalendar);
  ASSERT_EQ(folder->Items()->Count(), 900);
  int compared = 0;
  for (std::size_t i = 0; i < series.size(); ++i) {
    const auto a =
        outlook::As<outlook::AppointmentItem>(folder->Items()->Item(static_cast<int>(i) + 1));
    const auto p = a->GetRecurrencePattern();
    const int type = p->RecurrenceType();
    if ((type != 1 && type != 2 && type != 3 && type != 5 && type != 6) || p->NoEndDate()) continue;
    // libical's walk, in the series' own calendar.
    icalcomponent* c = icalparser_parse_string(series[i].text.c_str());
    const icaltimetype start = icalcomponent_get_dtstart(c);
    const icalrecurrencetype rule =
        icalproperty_get_rrule(icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY));
    icalrecur_iterator* it = icalrecur_iterator_new(rule, start);
    int n = 0;
    TDateTime last = 0.0;
    for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t) && n < 100000;
         t = icalrecur_iterator_next(it)) {
      ++n;
      last = EncodeDate(t.year, t.month, t.day);
    }
    icalrecur_iterator_free(it);
    icalcomponent_free(c);
    SCOPED_TRACE(series[i].text);
    if (last > EncodeDate(2100, 1, 1)) continue;  // beyond the store's horizon
    if (rule.count > 0) {
      EXPECT_EQ(DateOf(p->PatternEndDate()), last);
    } else {
      EXPECT_EQ(p->Occurrences(), n);
    }
    ++compared;
  }
  EXPECT_GT(compared, 350);
}

}  // namespace
}  // namespace ravenox::engine
