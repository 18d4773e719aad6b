#include <gtest/gtest.h>

#include "EngineFakes.h"

namespace ravenox::engine {
namespace {

using outlook::fake::FakePattern;
using testing::EngineRig;

TDateTime Day(int y, int m, int d) {
  return EncodeDate(y, m, d);
}
TDateTime OnDay(TDateTime day, int h, int min = 0) {
  return day + EncodeTime(h, min, 0).Value();
}

constexpr int kSun = 1, kMon = 2, kTue = 4, kWed = 8, kThu = 16, kFri = 32, kSat = 64;

struct Case {
  const char* name;
  TDateTime now;  // the scan time (and the clock, for monthly and yearly)
  std::function<void(FakePattern&)> pattern;
  TDateTime expected;
};

TEST(NextOccurrence, Patterns) {
  const TDateTime tue = Day(2026, 12, 8);  // a Tuesday
  const TDateTime mon = Day(2026, 12, 7);
  const TDateTime nine = 45000.0 + 9.0 / 24;  // start times carry some date; only the time counts
  auto daily = [&](TDateTime first, int interval) {
    return [=](FakePattern& p) {
      p.type = outlook::olRecursDaily;
      p.pattern_start_date = first;
      p.interval = interval;
      p.start_time = nine;
      p.no_end_date = true;
    };
  };
  auto weekly = [&](TDateTime first, int mask, int interval) {
    return [=](FakePattern& p) {
      p.type = outlook::olRecursWeekly;
      p.pattern_start_date = first;
      p.day_of_week_mask = mask;
      p.interval = interval;
      p.start_time = nine;
      p.no_end_date = true;
    };
  };
  auto monthly = [&](TDateTime first, int day, int interval) {
    return [=](FakePattern& p) {
      p.type = outlook::olRecursMonthly;
      p.pattern_start_date = first;
      p.day_of_month = day;
      p.interval = interval;
      p.start_time = nine;
    };
  };
  auto yearly = [&](TDateTime first, int month, int day, int interval) {
    return [=](FakePattern& p) {
      p.type = outlook::olRecursYearly;
      p.pattern_start_date = first;
      p.month_of_year = month;
      p.day_of_month = day;
      p.interval = interval;
      p.start_time = nine;
    };
  };
  auto nth = [&](int type, TDateTime first, int instance, int mask, int month) {
    return [=](FakePattern& p) {
      p.type = type;
      p.pattern_start_date = first;
      p.instance = instance;
      p.day_of_week_mask = mask;
      p.month_of_year = month;
      p.start_time = nine;
    };
  };
  auto ending = [](TDateTime end) {
    return [=](FakePattern& p) {
      p.no_end_date = false;
      p.pattern_end_date = end;
    };
  };
  auto counted = [](int n) {
    return [=](FakePattern& p) {
      p.no_end_date = false;
      p.occurrences = n;
      p.pattern_end_date = 0.0;
    };
  };
  auto with = [](std::function<void(FakePattern&)> base, std::function<void(FakePattern&)> more) {
    return [=](FakePattern& p) {
      base(p);
      more(p);
    };
  };
  const TDateTime long_ago = Day(2020, 1, 1);

  const Case cases[] = {
      // Daily: today, tomorrow or the day after; today's even when its time has passed.
      {"daily every 3 days, next in two days", OnDay(tue, 11), daily(tue - 10.0, 3),
       OnDay(tue + 2.0, 9)},
      {"daily every 3 days from 9 days ago", OnDay(tue, 11), daily(tue - 9.0, 3), OnDay(tue, 9)},
      {"daily every 4 days, none in the window", OnDay(tue, 11), daily(tue - 13.0, 4), 0.0},
      {"daily 09:00 scanned at 11:00 gives today", OnDay(tue, 11), daily(tue - 30.0, 1),
       OnDay(tue, 9)},
      {"daily starting in three days", OnDay(tue, 11), daily(tue + 3.0, 1), 0.0},
      {"daily interval 0 walks as 1", OnDay(tue, 11), daily(tue - 3.0, 0), OnDay(tue, 9)},
      {"counted: five from five days ago ended yesterday", OnDay(tue, 11),
       with(daily(tue - 5.0, 1), counted(5)), 0.0},
      {"counted: five from four days ago ends today", OnDay(tue, 11),
       with(daily(tue - 4.0, 1), counted(5)), OnDay(tue, 9)},
      {"ended two days ago", OnDay(tue, 11), with(daily(tue - 6.0, 1), ending(tue - 2.0)), 0.0},
      {"end date 0 on an endless series never cuts", OnDay(tue, 11),
       with(daily(tue - 6.0, 1), [](FakePattern& p) { p.pattern_end_date = 0.0; }), OnDay(tue, 9)},
      {"an end date at midnight keeps that day's occurrence", OnDay(tue, 11),
       with(daily(tue - 6.0, 1), ending(tue)), OnDay(tue, 9)},
      {"weekdays on a Friday", OnDay(tue + 3.0, 11),
       with(daily(tue - 30.0, 1),
            [](FakePattern& p) { p.day_of_week_mask = kMon | kTue | kWed | kThu | kFri; }),
       OnDay(tue + 3.0, 9)},
      {"weekdays on a Saturday: Monday", OnDay(tue + 4.0, 11),
       with(daily(tue - 30.0, 1),
            [](FakePattern& p) { p.day_of_week_mask = kMon | kTue | kWed | kThu | kFri; }),
       OnDay(tue + 6.0, 9)},
      {"three weekdays from Monday, on Thursday", OnDay(tue + 2.0, 11),
       with(with(daily(mon, 1), counted(3)),
            [](FakePattern& p) { p.day_of_week_mask = kMon | kTue | kWed | kThu | kFri; }),
       0.0},
      // Weekly: active weeks counted from the week the series began in.
      {"weekly Mon+Wed every 2 weeks, first Monday two weeks back", OnDay(mon, 8),
       weekly(mon - 14.0, kMon | kWed, 2), OnDay(mon, 9)},
      {"weekly Mon+Wed every 2 weeks, first Monday one week back", OnDay(mon, 8),
       weekly(mon - 7.0, kMon | kWed, 2), 0.0},
      {"weekly interval 0 takes the first masked day", OnDay(mon, 8), weekly(mon - 300.0, kWed, 0),
       OnDay(mon + 2.0, 9)},
      {"weekly not yet begun", OnDay(mon, 8), weekly(mon + 3.0, kWed | kThu, 1), 0.0},
      {"weekly Thursday and Sunday on a Saturday: Sunday", OnDay(tue + 4.0, 8),
       weekly(mon - 70.0, kThu | kSun, 1), OnDay(tue + 5.0, 9)},
      {"every 2 weeks on Sunday from a Saturday, weeks from Sunday", OnDay(tue + 5.0, 8),
       weekly(tue + 4.0 - 14.0, kSun, 2), 0.0},
      {"every 2 weeks on Sunday from a Saturday, weeks from Monday", OnDay(tue + 5.0, 8),
       with(weekly(tue + 4.0 - 14.0, kSun, 2), [](FakePattern& p) { p.first_day_of_week = 2; }),
       OnDay(tue + 5.0, 9)},
      // Monthly: start, interval and end count; real dates are compared.
      {"monthly today", OnDay(tue, 8), monthly(long_ago, 8, 1), OnDay(tue, 9)},
      {"monthly on the 1st, on the last day of a month", OnDay(Day(2026, 11, 30), 20),
       monthly(long_ago, 1, 1), OnDay(Day(2026, 12, 1), 9)},
      {"monthly on the 31st in a 30-day month: its last day", OnDay(Day(2026, 11, 30), 8),
       monthly(long_ago, 31, 1), OnDay(Day(2026, 11, 30), 9)},
      {"every second month, an off month", OnDay(Day(2027, 3, 11), 8),
       monthly(Day(2027, 2, 11), 11, 2), 0.0},
      {"every second month, an on month", OnDay(Day(2027, 4, 11), 8),
       monthly(Day(2027, 2, 11), 11, 2), OnDay(Day(2027, 4, 11), 9)},
      {"monthly, first occurrence next month", OnDay(Day(2027, 3, 11), 8),
       monthly(Day(2027, 4, 11), 11, 1), 0.0},
      {"monthly, ended", OnDay(Day(2027, 3, 11), 8),
       with(monthly(Day(2026, 4, 11), 11, 1), ending(Day(2027, 2, 11))), 0.0},
      {"monthly, counted: the third", OnDay(Day(2027, 3, 11), 8),
       with(monthly(Day(2027, 1, 11), 11, 1), counted(3)), OnDay(Day(2027, 3, 11), 9)},
      {"monthly, counted: past the count", OnDay(Day(2027, 4, 11), 8),
       with(monthly(Day(2027, 1, 11), 11, 1), counted(3)), 0.0},
      // Yearly.
      {"yearly 1 January on 31 December", OnDay(Day(2026, 12, 31), 8), yearly(long_ago, 1, 1, 1),
       OnDay(Day(2027, 1, 1), 9)},
      {"yearly in another month", OnDay(tue, 8), yearly(long_ago, 11, 8, 1), 0.0},
      {"yearly, first held in 2030", OnDay(Day(2027, 3, 11), 8), yearly(Day(2030, 3, 11), 3, 11, 1),
       0.0},
      {"every 2 years, an off year", OnDay(Day(2027, 3, 11), 8), yearly(Day(2026, 3, 11), 3, 11, 2),
       0.0},
      {"29 February in a common year: the 28th", OnDay(Day(2027, 2, 28), 8),
       yearly(Day(2024, 2, 29), 2, 29, 1), OnDay(Day(2027, 2, 28), 9)},
      // The n-th weekday of a month or of a month of the year.
      {"second Wednesday", OnDay(Day(2026, 12, 8), 8),
       nth(outlook::olRecursMonthNth, long_ago, 2, kWed, 0), OnDay(Day(2026, 12, 9), 9)},
      {"last Friday", OnDay(Day(2026, 12, 24), 8),
       nth(outlook::olRecursMonthNth, long_ago, 5, kFri, 0), OnDay(Day(2026, 12, 25), 9)},
      {"first weekday of the month", OnDay(Day(2026, 10, 31), 8),
       nth(outlook::olRecursMonthNth, long_ago, 1, kMon | kTue | kWed | kThu | kFri, 0),
       OnDay(Day(2026, 11, 2), 9)},
      {"last day of the month", OnDay(Day(2027, 2, 28), 8),
       nth(outlook::olRecursMonthNth, long_ago, 5, 127, 0), OnDay(Day(2027, 2, 28), 9)},
      {"first Monday of September", OnDay(Day(2026, 9, 6), 8),
       nth(outlook::olRecursYearNth, long_ago, 1, kMon, 9), OnDay(Day(2026, 9, 7), 9)},
      {"first Monday of September, in October", OnDay(Day(2026, 10, 4), 8),
       nth(outlook::olRecursYearNth, long_ago, 1, kMon, 9), 0.0},
      {"unknown recurrence type", OnDay(tue, 8), [](FakePattern& p) { p.type = 4; }, 0.0},
      // The pattern's own calendar: Tuesdays 21:00 in a zone six hours behind the user's.
      {"a day behind: Tuesday's occurrence seen on Wednesday morning", OnDay(tue + 1.0, 2),
       with(weekly(long_ago, kTue, 1),
            [](FakePattern& p) {
              p.start_time = 45000.0 + 21.0 / 24;
              p.time_shift = -0.25;
            }),
       OnDay(tue, 21)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(c.now);
    auto p = rig.Make();
    FakePattern pattern(rig.outlook->faults);
    c.pattern(pattern);
    EXPECT_EQ(p->NextOccurrence(pattern, c.now), c.expected);
  }
}

TEST(NextOccurrence, EachExpansionLogsItsStart) {
  EngineRig rig;
  auto p = rig.Make();
  FakePattern pattern(rig.outlook->faults);
  for (int type : {0, 1, 2, 5, 3, 6, 4}) {
    pattern.type = type;
    p->NextOccurrence(pattern, rig.clock->Now());
  }
  for (const char* line : {"Daily Appt", "Weekly Appt", "Monthly Output", "Yearly Output",
                           "Monthly Nth Output", "Yearly Nth Output"})
    EXPECT_EQ(EngineRig::Count(*p, line), 1) << line;
}

// However old the series, an expansion reads each member once; an error reaches the caller.
TEST(NextOccurrence, ReadsEachMemberOnceAndErrorsPropagate) {
  EngineRig rig;
  auto p = rig.Make();
  FakePattern pattern(rig.outlook->faults);
  pattern.type = outlook::olRecursDaily;
  pattern.interval = 7;
  pattern.pattern_start_date = DateOf(rig.clock->Now()) - 20000.0;
  p->NextOccurrence(pattern, rig.clock->Now());
  EXPECT_EQ(rig.outlook->faults->CountOf("Pattern.Interval"), 1);
  rig.outlook->faults->FailOn("Pattern.StartTime", 1);
  EXPECT_THROW(p->NextOccurrence(pattern, rig.clock->Now()), outlook::AutomationError);
}

// Why a window holds no day of the series, as the inspector shows it.
TEST(NextOccurrence, SaysWhyNone) {
  EngineRig rig;
  auto p = rig.Make();
  const TDateTime today = DateOf(rig.clock->Now());
  struct Case {
    TDateTime first, end;
    int interval;
    const char* why;
  };
  for (const Case& c : {Case{today + 5.0, 0.0, 1, "before its start"},
                        Case{today - 50.0, today - 1.0, 1, "after its end"},
                        Case{today - 13.0, 0.0, 4, "off interval"}}) {
    FakePattern pattern(rig.outlook->faults);
    pattern.pattern_start_date = c.first;
    pattern.interval = c.interval;
    pattern.no_end_date = c.end == TDateTime(0.0);
    pattern.pattern_end_date = c.end;
    const char* why = nullptr;
    EXPECT_EQ(p->NextOccurrence(pattern, rig.clock->Now(), &why), TDateTime(0.0));
    EXPECT_STREQ(why, c.why);
  }
}

}  // namespace
}  // namespace ravenox::engine
