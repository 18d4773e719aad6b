// The iCalendar mapping (outlook/ical), read as the file store hands it its blocks: times and
// zones, texts and reminders, rules as patterns and where they end, tasks, and a task moved on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>

#include "CalendarFiles.h"
#include "base/Formats.h"
#include "outlook/localstore/IcsStore.h"
#include "outlook/localstore/LocalStore.h"

namespace outlook::localstore {
namespace {

using ravenox::EncodeDate;
using ravenox::EncodeDateTime;

TEST_F(LocalStore, EventTimes) {
  struct Case {
    const char* name;
    std::string props;
    ravenox::TDateTime start;
  };
  const Case cases[] = {
      {"UTC", "DTSTART:20261208T150000Z\r\n", EncodeDateTime(2026, 12, 8, 10, 0)},
      {"floating", "DTSTART:20261208T150000\r\n", EncodeDateTime(2026, 12, 8, 15, 0)},
      {"all day", "DTSTART;VALUE=DATE:20261208\r\n", EncodeDate(2026, 12, 8)},
      {"Olson zone", "DTSTART;TZID=Europe/Berlin:20261208T150000\r\n",
       EncodeDateTime(2026, 12, 8, 9, 0)},
      {"Windows zone name", "DTSTART;TZID=W. Europe Standard Time:20260708T150000\r\n",
       EncodeDateTime(2026, 7, 8, 9, 0)},
      {"quoted Windows zone name", "DTSTART;TZID=\"Pacific Standard Time\":20261208T090000\r\n",
       EncodeDateTime(2026, 12, 8, 12, 0)},
      {"prefixed zone", "DTSTART;TZID=/mozilla.org/20070129_1/Europe/London:20261208T150000\r\n",
       EncodeDateTime(2026, 12, 8, 10, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = Write("c.ics", Calendar(Event("SUMMARY:x\r\n" + c.props)));
    IcsFile file(path, ComponentKind::kEvent);
    file.Refresh();
    ASSERT_EQ(file.Count(), 1u);
    const EventData& e = file.Event(0);
    EXPECT_EQ(e.error, "");
    EXPECT_EQ(e.start, c.start);
  }
}

TEST_F(LocalStore, FileTimezoneIsUsedForUnknownNames) {
  const auto path = Write(
      "c.ics", Calendar("BEGIN:VTIMEZONE\r\nTZID:Office Time\r\nBEGIN:STANDARD\r\n"
                        "DTSTART:19700101T000000\r\nTZOFFSETFROM:+0300\r\nTZOFFSETTO:+0300\r\n"
                        "END:STANDARD\r\nEND:VTIMEZONE\r\n" +
                        Event("SUMMARY:x\r\nDTSTART;TZID=Office Time:20261208T150000\r\n") +
                        Event("SUMMARY:y\r\nDTSTART;TZID=Office Time:20261209T160000\r\n")));
  // Read as the engine reads, and as the inspector reads a vdir's file once (keeping only the
  // span of its items, so that the zone is read apart).
  for (const bool once : {false, true}) {
    IcsFile file(path, ComponentKind::kEvent, {}, once);
    const int folder = ::open(dir_.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    file.Refresh(once ? folder : -1);
    ::close(folder);
    EXPECT_EQ(file.Event(0).start, EncodeDateTime(2026, 12, 8, 7, 0)) << once;
    EXPECT_EQ(file.Event(1).start, EncodeDateTime(2026, 12, 9, 8, 0)) << once;
  }
}

TEST_F(LocalStore, TextAndReminders) {
  struct Case {
    const char* name;
    std::string alarms;
    int minutes;
  };
  const Case cases[] = {
      {"none", "", 15},
      {"relative", "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT30M\r\nEND:VALARM\r\n", 30},
      {"relative to the end",
       "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER;RELATED=END:-PT90M\r\nEND:VALARM\r\n", 30},
      {"absolute",
       "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER;VALUE=DATE-TIME:20261208T140000Z\r\nEND:"
       "VALARM\r\n",
       60},
      {"after the start", "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:PT5M\r\nEND:VALARM\r\n", 0},
      {"the first that would go off",
       "BEGIN:VALARM\r\nACTION:NONE\r\nTRIGGER:-PT1M\r\nEND:VALARM\r\n"
       "BEGIN:VALARM\r\nACTION:DISPLAY\r\nEND:VALARM\r\n"
       "BEGIN:VALARM\r\nACTION:AUDIO\r\nTRIGGER:-P1D\r\nEND:VALARM\r\n",
       1440},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = Write(
        "c.ics",
        Calendar(Event(
            "SUMMARY:Plan\\, review\r\nLOCATION:Room 4\r\nDESCRIPTION:" + std::string(250, 'd') +
            "\r\nDTSTART:20261208T150000Z\r\nDTEND:20261208T160000Z\r\n" + c.alarms)));
    IcsFile file(path, ComponentKind::kEvent);
    file.Refresh();
    const EventData& e = file.Event(0);
    EXPECT_EQ(e.subject, "Plan, review");
    EXPECT_EQ(e.location, "Room 4");
    EXPECT_EQ(e.body, std::string(200, 'd'));
    EXPECT_EQ(e.reminder_minutes, c.minutes);
  }
}

TEST_F(LocalStore, RecurrenceRules) {
  struct Case {
    const char* rule;
    int type, interval, mask, day_of_month, month, occurrences;
    bool no_end;
    ravenox::TDateTime end;
  };
  // DTSTART is Tuesday 2026-12-08 14:00Z (09:00 local): the pattern keeps the series' own clock.
  // The end is the day of the last occurrence.
  const Case cases[] = {
      {"FREQ=DAILY;INTERVAL=3", 0, 3, 0, 0, 0, 0, true, 0.0},
      {"FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR", 0, 1, 62, 0, 0, 0, true, 0.0},
      {"FREQ=WEEKLY", 1, 1, 4, 0, 0, 0, true, 0.0},
      {"FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE", 1, 2, 10, 0, 0, 0, true, 0.0},
      {"FREQ=MONTHLY", 2, 1, 0, 8, 0, 0, true, 0.0},
      {"FREQ=MONTHLY;BYMONTHDAY=15", 2, 1, 0, 15, 0, 0, true, 0.0},
      {"FREQ=MONTHLY;BYDAY=2TU", 3, 1, 4, 0, 0, 0, true, 0.0},
      {"FREQ=YEARLY", 5, 1, 0, 8, 12, 0, true, 0.0},
      {"FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=1", 5, 1, 0, 1, 3, 0, true, 0.0},
      {"FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10", 6, 1, 1, 0, 10, 0, true, 0.0},
      {"FREQ=DAILY;COUNT=5", 0, 1, 0, 0, 0, 5, false, EncodeDate(2026, 12, 12)},
      {"FREQ=WEEKLY;COUNT=3", 1, 1, 4, 0, 0, 3, false, EncodeDate(2026, 12, 22)},
      // An end date gives the count too, as Outlook keeps the two consistent.
      {"FREQ=DAILY;UNTIL=20261220T140000Z", 0, 1, 0, 0, 0, 13, false, EncodeDate(2026, 12, 20)},
      {"FREQ=DAILY;UNTIL=20261220", 0, 1, 0, 0, 0, 13, false, EncodeDate(2026, 12, 20)},
      {"FREQ=DAILY;INTERVAL=2;UNTIL=20261220T140000Z", 0, 2, 0, 0, 0, 7, false,
       EncodeDate(2026, 12, 20)},
      {"FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;UNTIL=20261218T130000Z", 0, 1, 62, 0, 0, 8, false,
       EncodeDate(2026, 12, 17)},  // ends before Friday's 14:00
      {"FREQ=WEEKLY;UNTIL=20261222T140000Z", 1, 1, 4, 0, 0, 3, false, EncodeDate(2026, 12, 22)},
      {"FREQ=MONTHLY;BYMONTHDAY=-1", 3, 1, 127, 0, 0, 0, true, 0.0},  // the last day
      {"FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=1", 3, 1, 62, 0, 0, 0, true, 0.0},
      {"FREQ=HOURLY", kNoExpansion, 1, 0, 0, 0, 0, true, 0.0},
      {"FREQ=MONTHLY;BYMONTHDAY=1,15", kNoExpansion, 1, 0, 0, 0, 0, true, 0.0},
      {"FREQ=MONTHLY;BYMONTHDAY=-2", kNoExpansion, 1, 0, 0, 0, 0, true, 0.0},
      {"FREQ=MONTHLY;BYDAY=TU", kNoExpansion, 1, 0, 0, 0, 0, true, 0.0},
      {"FREQ=MONTHLY;BYDAY=5TU", kNoExpansion, 1, 0, 0, 0, 0, true, 0.0},
      {"FREQ=YEARLY;BYDAY=1MO", kNoExpansion, 1, 0, 0, 0, 0, true, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    const auto path =
        Write("c.ics", Calendar(Event("SUMMARY:r\r\nDTSTART:20261208T140000Z\r\nRRULE:" +
                                      std::string(c.rule) + "\r\n")));
    IcsFile file(path, ComponentKind::kEvent);
    file.Refresh();
    const EventData& e = file.Event(0);
    ASSERT_TRUE(e.recurring);
    const PatternData& p = e.pattern;
    EXPECT_EQ(p.type, c.type);
    if (c.type == kNoExpansion) {
      EXPECT_NE(p.why_no_expansion, nullptr);
      continue;
    }
    EXPECT_EQ(p.interval, c.interval);
    EXPECT_EQ(p.day_of_week_mask, c.mask);
    if (c.type == 2 || c.type == 5) {
      EXPECT_EQ(p.day_of_month, c.day_of_month);
    }
    EXPECT_EQ(p.month_of_year, c.month);
    EXPECT_EQ(p.occurrences, c.occurrences);
    EXPECT_EQ(p.no_end_date, c.no_end);
    EXPECT_EQ(p.pattern_end_date, c.end);
    EXPECT_EQ(p.pattern_start_date, EncodeDate(2026, 12, 8));
    EXPECT_EQ(p.start_time, EncodeDateTime(2026, 12, 8, 14, 0));
  }
}

// A series with an end date is taken by the calendar scan on each of its days, not only its first.
TEST_F(LocalStore, ScanTakesEveryDayOfASeriesWithAnEndDate) {
  struct Case {
    const char* rule;
    int day;             // of December, looked at 08:00
    int expected_start;  // day of December of the occurrence taken at 09:00; 0 for none
  };
  // DTSTART is Tuesday 2026-12-08 09:00 local.
  const Case cases[] = {
      {"FREQ=DAILY;UNTIL=20261211T140000Z", 10, 10},
      {"FREQ=DAILY;UNTIL=20261211T140000Z", 11, 11},
      {"FREQ=DAILY;UNTIL=20261211T140000Z", 12, 0},
      {"FREQ=DAILY;UNTIL=20261211", 11, 11},
      {"FREQ=DAILY;UNTIL=20261211", 12, 0},
      {"FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;UNTIL=20261215T140000Z", 11, 11},
      {"FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;UNTIL=20261215T140000Z", 12, 14},  // Saturday: Monday
      {"FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;UNTIL=20261215T140000Z", 14, 14},
      {"FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;UNTIL=20261215T140000Z", 15, 15},
      {"FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;UNTIL=20261215T140000Z", 16, 0},
      {"FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;UNTIL=20261215", 15, 15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.rule) + " on day " + std::to_string(c.day));
    const auto path =
        Write("c.ics", Calendar(Event("SUMMARY:Standup\r\nDTSTART:20261208T140000Z\r\nRRULE:" +
                                      std::string(c.rule) + "\r\n")));
    StoreProfile profile;
    profile.calendars = {path};
    ravenox::testing::EngineRig rig;
    rig.env.connector = [&] { return OpenLocalStore(profile, rig.Now()); };
    rig.clock->Set(EncodeDateTime(2026, 12, c.day, 8, 0));
    auto p = rig.Make();
    p->CheckAppointments();
    if (c.expected_start == 0) {
      EXPECT_EQ(p->NotifyList.Count(), 0);
    } else {
      ASSERT_EQ(p->NotifyList.Count(), 1);
      EXPECT_EQ(p->NotifyList[0].StartTime, EncodeDateTime(2026, 12, c.expected_start, 9, 0));
    }
  }
}

TEST_F(LocalStore, Tasks) {
  const auto path = Write(
      "t.ics",
      Calendar(
          "BEGIN:VTODO\r\nUID:t1\r\nSUMMARY:Report\r\nDTSTART:20261207T090000\r\n"
          "DUE:20261210T170000\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER;RELATED=END:-PT1H\r\n"
          "END:VALARM\r\nEND:VTODO\r\n"
          "BEGIN:VTODO\r\nUID:t2\r\nSUMMARY:Done\r\nSTATUS:COMPLETED\r\nEND:VTODO\r\n"
          "BEGIN:VTODO\r\nUID:t3\r\nSUMMARY:Half\r\nPERCENT-COMPLETE:100\r\nEND:VTODO\r\n"
          "BEGIN:VTODO\r\nUID:t4\r\nSUMMARY:Open\r\nCOMPLETED:20261201T000000Z\r\nEND:VTODO\r\n"));
  IcsFile file(path, ComponentKind::kTodo);
  file.Refresh();
  ASSERT_EQ(file.Count(), 4u);
  const TaskData& t = file.Task(0);
  EXPECT_EQ(t.start_date, EncodeDate(2026, 12, 7));
  EXPECT_EQ(t.due_date, EncodeDate(2026, 12, 10));
  EXPECT_TRUE(t.reminder_set);
  EXPECT_EQ(t.reminder_time, EncodeDateTime(2026, 12, 10, 16, 0));
  EXPECT_FALSE(t.complete);
  EXPECT_EQ(file.Task(1).start_date, ravenox::TDateTime(ravenox::kNoDate));
  EXPECT_TRUE(file.Task(1).complete);
  EXPECT_TRUE(file.Task(2).complete);
  EXPECT_TRUE(file.Task(3).complete);
}

// A skip moves the task, in one step and one write, to its first instance that is not wholly
// before today, whatever the gap; the rest of the file stays as it was.
TEST_F(LocalStore, SkipRecurrenceMovesTheTaskAndKeepsTheRest) {
  struct Step {
    time_t today;
    const char* start;  // DTSTART after the skip; null: the skip fails
  };
  struct Case {
    const char* dates;
    const char* rule;
    std::vector<Step> steps;
    const char* count_after;
  };
  const char* kTimed = "DTSTART:20261207T090000\r\nDUE:20261207T170000\r\n";
  const Case cases[] = {
      {kTimed,
       "FREQ=DAILY",
       {{Midnight(2026, 12, 8), "DTSTART:20261208T090000"},
        {Midnight(2026, 12, 11), "DTSTART:20261211T090000"}},
       nullptr},
      {kTimed,
       "FREQ=WEEKLY;BYDAY=MO,TH",
       {{Midnight(2026, 12, 8), "DTSTART:20261210T090000"},
        {Midnight(2026, 12, 11), "DTSTART:20261214T090000"}},
       nullptr},
      {kTimed,
       "FREQ=DAILY;COUNT=3",
       {{Midnight(2026, 12, 8), "DTSTART:20261208T090000"},
        {Midnight(2026, 12, 20), "DTSTART:20261209T090000"},  // the last instance
        {Midnight(2026, 12, 21), nullptr}},
       "COUNT=1"},
      {kTimed,
       "FREQ=DAILY;UNTIL=20261208T235959",
       {{Midnight(2026, 12, 8), "DTSTART:20261208T090000"}, {Midnight(2026, 12, 9), nullptr}},
       nullptr},
      // Seventy years between instances: no overflow, one step.
      {"DTSTART;VALUE=DATE:19500101\r\nDUE;VALUE=DATE:19500102\r\n",
       "FREQ=YEARLY;INTERVAL=70",
       {{Midnight(2026, 12, 8), "DTSTART;VALUE=DATE:20900101"}},
       nullptr},
      // Ten years of daily instances, a week of minutely ones: one step each.
      {"DTSTART:20161207T090000\r\nDUE:20161207T170000\r\n",
       "FREQ=DAILY",
       {{Midnight(2026, 12, 8), "DTSTART:20261208T090000"}},
       nullptr},
      {"DTSTART:20261201T090000\r\nDUE:20261201T090500\r\n",
       "FREQ=MINUTELY",
       {{Midnight(2026, 12, 8), "DTSTART:20261207T235500"}},
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    const std::string other = Event("SUMMARY:keep me\r\nDTSTART:20261208T140000Z\r\nX-ODD:1\r\n");
    const auto path =
        Write("t.ics", Calendar(other + "BEGIN:VTODO\r\nUID:r1\r\nSUMMARY:Timesheet\r\n" + c.dates +
                                "RRULE:" + c.rule + "\r\nX-KEEP:yes\r\nEND:VTODO\r\n"));
    IcsFile file(path, ComponentKind::kTodo);
    file.Refresh();
    for (const auto& step : c.steps) {
      const std::string text_before = ravenox::testing::ReadAll(path);
      const auto started = std::chrono::steady_clock::now();
      const bool moved = file.SkipRecurrence(0, step.today);
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
      const std::string text = ravenox::testing::ReadAll(path);
      if (step.start == nullptr) {
        EXPECT_FALSE(moved);
        EXPECT_EQ(text, text_before);
        continue;
      }
      ASSERT_TRUE(moved);
      EXPECT_NE(text.find(step.start), std::string::npos) << text;
      EXPECT_NE(text.find("X-KEEP:yes"), std::string::npos);
      EXPECT_NE(text.find(other), std::string::npos);
    }
    if (c.count_after != nullptr) {
      EXPECT_NE(ravenox::testing::ReadAll(path).find(c.count_after), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace outlook::localstore
