#include <gtest/gtest.h>

#include "EngineFakes.h"

namespace ravenox::engine {
namespace {

using outlook::fake::FakePattern;
using testing::EngineRig;

TDateTime Day(int y, int m, int d) {
  return EncodeDate(y, m, d);
}
TDateTime At(TDateTime day, int h, int min = 0) {
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
  auto monthly = [&](int day) {
    return [=](FakePattern& p) {
      p.type = outlook::olRecursMonthly;
      p.day_of_month = day;
      p.start_time = nine;
    };
  };
  auto yearly = [&](int month, int day) {
    return [=](FakePattern& p) {
      p.type = outlook::olRecursYearly;
      p.month_of_year = month;
      p.day_of_month = day;
      p.start_time = nine;
    };
  };
  auto with = [](std::function<void(FakePattern&)> base, std::function<void(FakePattern&)> more) {
    return [=](FakePattern& p) {
      base(p);
      more(p);
    };
  };

  const Case cases[] = {
      {"daily every 3 days from 10 days ago", At(tue, 11), daily(tue - 10.0, 3), 0.0},
      {"daily every 3 days from 9 days ago", At(tue, 11), daily(tue - 9.0, 3), At(tue, 9)},
      {"daily every 3 days from 8 days ago: tomorrow", At(tue, 11), daily(tue - 8.0, 3),
       At(tue + 1.0, 9)},
      {"daily 09:00 scanned at 11:00 gives today", At(tue, 11), daily(tue - 30.0, 1), At(tue, 9)},
      {"daily starting the day after tomorrow", At(tue, 11), daily(tue + 2.0, 1), 0.0},
      {"daily interval 0 walks as 1", At(tue, 11), daily(tue - 3.0, 0), At(tue, 9)},
      {"counted: five from five days ago ends yesterday", At(tue, 11),
       with(daily(tue - 5.0, 1),
            [&](FakePattern& p) {
              p.no_end_date = false;
              p.occurrences = 5;
              p.pattern_end_date = tue - 1.0;
            }),
       0.0},
      {"counted without end date: the walk reaches one day past the count", At(tue, 11),
       with(daily(tue - 5.0, 1),
            [](FakePattern& p) {
              p.no_end_date = false;
              p.occurrences = 5;
            }),
       At(tue, 9)},
      {"counted: six days back is beyond the walk", At(tue, 11),
       with(daily(tue - 6.0, 1),
            [](FakePattern& p) {
              p.no_end_date = false;
              p.occurrences = 5;
            }),
       0.0},
      {"ended series fails the entry test", At(tue, 11),
       with(daily(tue - 6.0, 1),
            [&](FakePattern& p) {
              p.no_end_date = false;
              p.pattern_end_date = tue - 2.0;
            }),
       0.0},
      {"end date 0 never cuts", At(tue, 11),
       with(daily(tue - 6.0, 1), [](FakePattern& p) { p.pattern_end_date = 0.0; }), At(tue, 9)},
      {"end date without time drops that day's occurrence", At(tue, 11),
       with(daily(tue - 6.0, 1), [&](FakePattern& p) { p.pattern_end_date = tue; }), 0.0},
      {"end date at the occurrence keeps it", At(tue, 11),
       with(daily(tue - 6.0, 1), [&](FakePattern& p) { p.pattern_end_date = At(tue, 9); }),
       At(tue, 9)},
      // Daily on chosen weekdays.
      {"weekdays on a Friday", At(tue + 3.0, 11),
       with(daily(tue - 30.0, 1),
            [](FakePattern& p) { p.day_of_week_mask = kMon | kTue | kWed | kThu | kFri; }),
       At(tue + 3.0, 9)},
      {"weekdays on a Saturday: neither day", At(tue + 4.0, 11),
       with(daily(tue - 30.0, 1),
            [](FakePattern& p) { p.day_of_week_mask = kMon | kTue | kWed | kThu | kFri; }),
       0.0},
      {"weekdays on a Sunday: Monday", At(tue + 5.0, 11),
       with(daily(tue - 30.0, 1),
            [](FakePattern& p) { p.day_of_week_mask = kMon | kTue | kWed | kThu | kFri; }),
       At(tue + 6.0, 9)},
      {"three weekdays from Monday, on Wednesday", At(tue + 1.0, 11),
       with(daily(mon, 1),
            [](FakePattern& p) {
              p.day_of_week_mask = kMon | kTue | kWed | kThu | kFri;
              p.no_end_date = false;
              p.occurrences = 3;
            }),
       At(tue + 1.0, 9)},
      {"three weekdays from Monday, on Thursday", At(tue + 2.0, 11),
       with(daily(mon, 1),
            [](FakePattern& p) {
              p.day_of_week_mask = kMon | kTue | kWed | kThu | kFri;
              p.no_end_date = false;
              p.occurrences = 3;
            }),
       0.0},
      // Weekly.
      {"weekly Mon+Wed every 2 weeks, first Monday two weeks back", At(mon, 8),
       weekly(mon - 14.0, kMon | kWed, 2), At(mon, 9)},
      {"weekly Mon+Wed every 2 weeks, first Monday one week back", At(mon, 8),
       weekly(mon - 7.0, kMon | kWed, 2), 0.0},
      {"weekly interval 0 takes the first masked day", At(mon, 8), weekly(mon - 300.0, kWed, 0),
       At(mon + 2.0, 9)},
      {"weekly interval 0 starting that very Wednesday", At(mon, 8), weekly(mon + 2.0, kWed, 0),
       At(mon + 2.0, 9)},
      {"weekly not yet begun", At(mon, 8), weekly(mon + 3.0, kWed | kThu, 1), 0.0},
      {"weekly Thursday and Sunday on a Saturday: Sunday", At(tue + 4.0, 8),
       weekly(mon - 70.0, kThu | kSun, 1), At(tue + 5.0, 9)},
      {"weekly Saturday only, today", At(tue + 4.0, 23), weekly(mon - 70.0, kSat, 1),
       At(tue + 4.0, 9)},
      // Types without an expansion.
      {"n-th weekday of a month", At(tue, 8),
       [](FakePattern& p) {
         p.type = outlook::olRecursMonthNth;
         p.day_of_week_mask = kTue;
       },
       0.0},
      {"n-th weekday of a year", At(tue, 8),
       [](FakePattern& p) { p.type = outlook::olRecursYearNth; }, 0.0},
      // Monthly and yearly compare day numbers only.
      {"monthly today", At(tue, 8), monthly(8), At(tue, 9)},
      {"monthly tomorrow", At(tue, 8), monthly(9), At(tue + 1.0, 9)},
      {"monthly 31 on the 30th of a 30-day month", At(Day(2026, 11, 30), 8), monthly(31),
       At(Day(2026, 12, 1), 9)},
      {"monthly 1 on the last day of a month", At(Day(2026, 11, 30), 8), monthly(1), 0.0},
      {"yearly tomorrow", At(Day(2026, 12, 30), 8), yearly(12, 31), At(Day(2026, 12, 31), 9)},
      {"yearly 1 January on 31 December", At(Day(2026, 12, 31), 8), yearly(1, 1), 0.0},
      {"yearly in another month", At(tue, 8), yearly(11, 8), 0.0},
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
  for (int type : {0, 1, 2, 5, 3}) {
    pattern.type = type;
    p->NextOccurrence(pattern, rig.clock->Now());
  }
  for (const char* line : {"Daily Appt", "Weekly Appt", "Monthly Output", "Yearly Output"})
    EXPECT_EQ(EngineRig::Count(*p, line), 1) << line;
}

TEST(NextOccurrence, PropertiesAreReadAfreshAndErrorsPropagate) {
  EngineRig rig;
  auto p = rig.Make();
  FakePattern pattern(rig.outlook->faults);
  pattern.type = outlook::olRecursDaily;
  pattern.interval = 1;
  pattern.no_end_date = true;
  pattern.pattern_start_date = DateOf(rig.clock->Now()) - 20.0;
  p->NextOccurrence(pattern, rig.clock->Now());
  EXPECT_EQ(rig.outlook->faults->CountOf("Pattern.Interval"), 20);  // one read per step
  rig.outlook->faults->FailOn("Pattern.StartTime", 1);
  EXPECT_THROW(p->NextOccurrence(pattern, rig.clock->Now()), outlook::AutomationError);
}

}  // namespace
}  // namespace ravenox::engine
