// The engine on the file store, on a wall clock: the meetings a calendar really has are texted at
// their reminders, once each, whatever the calendar's size and however it changes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "CalendarFiles.h"
#include "EngineFakes.h"
#include "base/Formats.h"
#include "outlook/localstore/IcsStore.h"
#include "outlook/localstore/LocalStore.h"

namespace outlook::localstore {
namespace {

using ravenox::EncodeDate;
using ravenox::EncodeDateTime;

namespace rows {

using ravenox::TDateTime;

// A series and what the scan makes of it at one moment: the start it takes, or why it takes none.
struct Row {
  const char* name;
  const char* zone;  // the user's
  std::string events;
  TDateTime at;
  TDateTime start;  // 0: nothing taken
  const char* why;  // then why not
};

std::string Ev(const std::string& uid, const std::string& props) {
  return "BEGIN:VEVENT\r\nUID:" + uid + "\r\n" + props + "END:VEVENT\r\n";
}

// The engine on a calendar of the local store, its mail going to the fake, which notes the moment
// of each send; meeting texts on, the day from `early` to `late`; the folders as `scope` says.
struct EngineOnStore {
  EngineOnStore(const StoreProfile& profile, double early, double late,
                FolderScope scope = FolderScope::kNow)
      : profile_(profile) {
    rig.env.connector = [this, scope] {
      return std::make_shared<ravenox::testing::StoreWithFakeMail>(
          OpenLocalStore(profile_, rig.Now(), scope), rig.outlook);
    };
    rig.outlook->faults->SetHook([this](const std::string& member) {
      if (member == "Mail.Send") when.push_back(rig.clock->Now());
    });
    rig.host.meeting = true;
    rig.host.early = early;
    rig.host.late = late;
  }
  StoreProfile profile_;
  ravenox::testing::EngineRig rig;
  std::vector<TDateTime> when;
};

}  // namespace rows

// Meetings as calendars hold them, each as a user would judge it.
TEST_F(LocalStore, ScanTakesMeetingsThatReallyHappen) {
  using rows::Ev;
  const TDateTime wed = EncodeDate(2027, 3, 10);
  auto at = [](TDateTime day, int h, int m = 0) {
    return day + EncodeDateTime(1899, 12, 30, h, m).Value();
  };
  const rows::Row cases[] = {
      {"today's stand-up deleted: tomorrow's", "UTC",
       Ev("a",
          "SUMMARY:Standup\r\nDTSTART:20270301T090000Z\r\nRRULE:FREQ=DAILY\r\n"
          "EXDATE:20270309T090000Z,20270310T090000Z\r\n"),
       at(wed, 7), at(wed + 1.0, 9), nullptr},
      {"every stand-up of the window deleted", "UTC",
       Ev("a2",
          "SUMMARY:Standup\r\nDTSTART:20270301T090000Z\r\nRRULE:FREQ=DAILY;UNTIL="
          "20270312T090000Z\r\n"
          "EXDATE:20270310T090000Z,20270311T090000Z,20270312T090000Z\r\n"),
       at(wed, 7), 0.0, "deleted that day"},
      {"today's weekly meeting moved two hours on", "UTC",
       Ev("b", "SUMMARY:Weekly\r\nDTSTART:20270203T140000Z\r\nRRULE:FREQ=WEEKLY\r\n") +
           Ev("b",
              "RECURRENCE-ID:20270310T140000Z\r\nSUMMARY:Weekly\r\n"
              "DTSTART:20270310T160000Z\r\n"),
       at(wed, 7), at(wed, 16), nullptr},
      {"Monday's occurrence moved to Wednesday", "UTC",
       Ev("c", "SUMMARY:Review\r\nDTSTART:20270201T110000Z\r\nRRULE:FREQ=WEEKLY\r\n") +
           Ev("c",
              "RECURRENCE-ID:20270308T110000Z\r\nSUMMARY:Review\r\n"
              "DTSTART:20270310T113000Z\r\n"),
       at(wed, 7), at(wed, 11, 30), nullptr},
      {"cancelled", "UTC",
       Ev("d", "SUMMARY:Off\r\nSTATUS:CANCELLED\r\nDTSTART:20270310T100000Z\r\n"), at(wed, 7), 0.0,
       "cancelled"},
      {"declined", "UTC",
       Ev("e",
          "SUMMARY:No\r\nDTSTART:20270310T100000Z\r\nATTENDEE;PARTSTAT=ACCEPTED:mailto:"
          "boss@example.org\r\nATTENDEE;PARTSTAT=DECLINED:MAILTO:Me@Example.org\r\n"),
       at(wed, 7), 0.0, "declined"},
      {"declined, the address folded across two lines", "UTC",
       Ev("e2",
          "SUMMARY:No\r\nDTSTART:20270310T100000Z\r\nUID:x\r\nattendee;partstat=declined;CN=M\r\n"
          " e:mailto:Me@Exa\r\n mple.org\r\nX-VENDOR:1\r\n"),
       at(wed, 7), 0.0, "declined"},
      {"all day without an alarm", "UTC",
       Ev("f", "SUMMARY:Holiday\r\nDTSTART;VALUE=DATE:20270311\r\n"), at(wed, 20), 0.0,
       "all day without a reminder"},
      {"every second month, an off month", "UTC",
       Ev("g", "SUMMARY:Board\r\nDTSTART:20270210T090000Z\r\nRRULE:FREQ=MONTHLY;INTERVAL=2\r\n"),
       at(wed, 7), 0.0, "off interval"},
      {"monthly, first held next month", "UTC",
       Ev("h", "SUMMARY:Rent\r\nDTSTART:20270410T090000Z\r\nRRULE:FREQ=MONTHLY\r\n"), at(wed, 7),
       0.0, "before its start"},
      {"yearly, first held in 2030", "UTC",
       Ev("i", "SUMMARY:Jubilee\r\nDTSTART:20300310T090000Z\r\nRRULE:FREQ=YEARLY\r\n"), at(wed, 7),
       0.0, "before its start"},
      {"second Wednesday", "UTC",
       Ev("j", "SUMMARY:Guild\r\nDTSTART:20270113T093000Z\r\nRRULE:FREQ=MONTHLY;BYDAY=2WE\r\n"),
       at(wed, 7), at(wed, 9, 30), nullptr},
      {"the 1st, seen the evening before", "UTC",
       Ev("k", "SUMMARY:Payday\r\nDTSTART:20270101T090000Z\r\nRRULE:FREQ=MONTHLY\r\n"),
       at(EncodeDate(2027, 3, 31), 20), at(EncodeDate(2027, 4, 1), 9), nullptr},
      {"Berlin 09:00 from July, in December, in UTC", "UTC",
       Ev("l",
          "SUMMARY:Jour fixe\r\nDTSTART;TZID=Europe/Berlin:20260707T090000\r\n"
          "RRULE:FREQ=WEEKLY\r\n"),
       at(EncodeDate(2026, 12, 8), 6), at(EncodeDate(2026, 12, 8), 8), nullptr},
      {"Tuesdays 21:00 New York, from Berlin", "Europe/Berlin",
       Ev("m",
          "SUMMARY:Call\r\nDTSTART;TZID=America/New_York:20261103T210000\r\n"
          "RRULE:FREQ=WEEKLY;BYDAY=TU\r\n"),
       at(EncodeDate(2026, 12, 9), 1), at(EncodeDate(2026, 12, 9), 3), nullptr},
      {"the last of a counted series", "UTC",
       Ev("n", "SUMMARY:Course\r\nDTSTART:20270308T090000Z\r\nRRULE:FREQ=DAILY;COUNT=3\r\n"),
       at(wed, 7), at(wed, 9), nullptr},
      {"after the last of a counted series", "UTC",
       Ev("o", "SUMMARY:Course\r\nDTSTART:20270306T090000Z\r\nRRULE:FREQ=DAILY;COUNT=3\r\n"),
       at(wed, 7), 0.0, "after its end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("TZ", c.zone, 1);
    tzset();
    StoreProfile profile;
    profile.calendars = {Write("rows.ics", Calendar(c.events))};
    profile.from = "Me <me@example.org>";
    ravenox::testing::EngineRig rig;
    auto p = rig.Make();
    const auto folder = OpenLocalStore(profile, {}, FolderScope::kWhole)
                            ->GetNamespace("MAPI")
                            ->GetDefaultFolder(olFolderCalendar);
    ASSERT_EQ(folder->Items()->Count(), 1);
    const auto item = As<AppointmentItem>(folder->Items()->Item(1));
    TDateTime taken = 0.0;
    std::string why;
    for (const auto& m : p->ReadMeeting(*item, c.at, c.at)) {
      if (m.skipped == nullptr) taken = m.start;
      if (m.skipped != nullptr) why = m.skipped;
    }
    EXPECT_EQ(ravenox::FormatDateTime(taken), ravenox::FormatDateTime(c.start));
    if (c.why != nullptr) {
      EXPECT_EQ(why, c.why);
    }
  }
}

// A week of the engine beside such a calendar, the user always away: each real occurrence is
// texted once, at its reminder time, and nothing else is.
TEST_F(LocalStore, AWeekOfRecurringMeetingsSendsWhatHappens) {
  using rows::Ev;
  setenv("TZ", "UTC", 1);
  tzset();
  const TDateTime mon = EncodeDate(2027, 3, 8);
  const std::string calendar = Calendar(
      Ev("a",
         "SUMMARY:Standup\r\nDTSTART:20270301T090000Z\r\nRRULE:FREQ=DAILY\r\n"
         "EXDATE:20270310T090000Z\r\n") +
      Ev("b", "SUMMARY:Weekly\r\nDTSTART:20270203T140000Z\r\nRRULE:FREQ=WEEKLY\r\n") +
      Ev("b", "RECURRENCE-ID:20270310T140000Z\r\nSUMMARY:Weekly\r\nDTSTART:20270310T160000Z\r\n") +
      Ev("c", "SUMMARY:Off\r\nSTATUS:CANCELLED\r\nDTSTART:20270311T100000Z\r\n") +
      Ev("d", "SUMMARY:Guild\r\nDTSTART:20270113T093000Z\r\nRRULE:FREQ=MONTHLY;BYDAY=2WE\r\n") +
      Ev("e", "SUMMARY:Holiday\r\nDTSTART;VALUE=DATE:20270313\r\n") +
      Ev("f", "SUMMARY:Course\r\nDTSTART:20270306T120000Z\r\nRRULE:FREQ=DAILY;COUNT=3\r\n") +
      Ev("g", "SUMMARY:Board\r\nDTSTART:20270210T090000Z\r\nRRULE:FREQ=MONTHLY;INTERVAL=2\r\n"));
  StoreProfile profile;
  profile.calendars = {Write("week.ics", calendar)};
  rows::EngineOnStore store(profile, 6.0 / 24, 22.0 / 24);
  auto& rig = store.rig;
  const auto& when = store.when;
  rig.clock->Set(mon);
  auto p = rig.Make();
  p->DebugEnabled = false;
  rig.event->on_wait = [&](int) {
    rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
    if (rig.clock->Now() >= mon + 7.0) p->Stop();
  };
  std::vector<std::pair<std::string, TDateTime>> expected;
  auto expect = [&](TDateTime start, const std::string& subject, int lead = 15) {
    expected.emplace_back(ravenox::FormatLongTime(start) + "@loc::" + subject + " ",
                          start - lead * ravenox::kOneMinute);
  };
  const auto hm = [](int h, int m = 0) { return EncodeDateTime(1899, 12, 30, h, m).Value(); };
  expect(mon + hm(9), "Standup");
  expect(mon + hm(12), "Course");
  expect(mon + 1.0 + hm(9), "Standup");
  expect(mon + 2.0 + hm(9, 30), "Guild");
  expect(mon + 2.0 + hm(16), "Weekly");
  for (int d = 3; d < 7; ++d) expect(mon + d + hm(9), "Standup");
  p->Execute();

  const auto sent = rig.outlook->Sent();
  std::vector<std::string> subjects;
  for (const auto& m : sent) subjects.push_back(m.subject);
  ASSERT_EQ(sent.size(), expected.size()) << ::testing::PrintToString(subjects);
  ASSERT_EQ(when.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const auto& [text, due] = expected[i];
    EXPECT_EQ(sent[i].subject, text);
    EXPECT_LE(std::abs(when[i] - due), 2.5 * ravenox::kOneMinute)
        << text << " at " << ravenox::FormatDateTime(when[i]);
  }
}

// A calendar that keeps ten years of history (100,000 events, a third of them series long
// ended): a meeting added for ten minutes ahead while the engine runs is read at the next pass and
// texted at its reminder minute, once.
// A meeting added just after a sweep of the view ended is read by the next pass: the view puts
// it where the scan starts again, not past the end it had before.
TEST_F(LocalStore, AMeetingAddedAfterASweepEndedIsReadByTheNextPass) {
  setenv("TZ", "UTC", 1);
  tzset();
  std::string events;
  for (int i = 0; i < 200; ++i) {
    char start[32];
    std::snprintf(start, sizeof start, "20261209T%02d%02d00Z", 8 + i / 60, i % 60);
    events += Event("SUMMARY:m" + std::to_string(i) + "\r\nDTSTART:" + start + "\r\n");
  }
  const auto path = Write("day.ics", Calendar(events));
  StoreProfile profile;
  profile.calendars = {path};
  rows::EngineOnStore store(profile, 0.5 / 24, 23.5 / 24);
  store.rig.clock->Set(EncodeDateTime(2026, 12, 8, 9, 0));
  auto p = store.rig.Make();
  p->CheckAppointments();
  while (p->AppointmentCursor != 1) p->CheckAppointments();
  Write("day.ics", Calendar(events + Event("SUMMARY:Added\r\nDTSTART:20261208T093000Z\r\n")));
  p->CheckAppointments();
  bool read = false;
  for (int i = 0; i < p->NotifyList.Count(); ++i)
    read = read || p->NotifyList[i].Text.find("Added") != std::string::npos;
  EXPECT_TRUE(read);
}

TEST_F(LocalStore, AMeetingAddedToALargeCalendarIsTextedAtItsReminder) {
  setenv("TZ", "UTC", 1);
  tzset();
  std::string calendar = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n";
  calendar.reserve(20 << 20);
  auto stamp = [](TDateTime t) {
    const ravenox::DateParts d = ravenox::DecodeDateTime(t);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d00Z", d.year, d.month, d.day, d.hour,
                  d.minute);
    return std::string(text);
  };
  const TDateTime history = EncodeDate(2015, 6, 1);
  for (int i = 0; i < 100000; ++i) {
    const TDateTime start = history + i * (3650.0 / 100000) + (i % 9) / 24.0;
    calendar +=
        "BEGIN:VEVENT\r\nUID:h" + std::to_string(i) + "\r\nSUMMARY:Past " + std::to_string(i) +
        "\r\nLOCATION:Room " + std::to_string(i % 40) + "\r\nDTSTART:" + stamp(start) + "\r\n" +
        (i % 3 == 0 ? "RRULE:FREQ=WEEKLY;COUNT=" + std::to_string(2 + i % 20) + "\r\n" : "") +
        "END:VEVENT\r\n";
  }
  const auto path = Write("history.ics", calendar + "END:VCALENDAR\r\n");
  StoreProfile profile;
  profile.calendars = {path};
  rows::EngineOnStore store(profile, 0.5 / 24, 23.5 / 24);
  auto& rig = store.rig;
  const auto& when = store.when;
  const TDateTime t0 = EncodeDateTime(2026, 12, 8, 9, 0);
  rig.clock->Set(t0);
  auto p = rig.Make();
  p->DebugEnabled = false;
  const TDateTime start = t0 + 11 * ravenox::kOneMinute;
  const std::string key = ravenox::FormatLongTime(start) + "@loc:Room 9:Budget review ";
  int waits = 0, added_at = -1, read_at = -1;
  rig.event->on_wait = [&](int) {
    ++waits;
    if (added_at < 0 && rig.clock->Now() >= t0 + ravenox::kOneMinute) {
      std::ofstream(path, std::ios::binary | std::ios::trunc)
          << calendar
          << "BEGIN:VEVENT\r\nUID:new\r\nSUMMARY:Budget review\r\nLOCATION:Room 9\r\nDTSTART:"
          << stamp(start)
          << "\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT5M\r\nEND:VALARM\r\n"
             "END:VEVENT\r\nEND:VCALENDAR\r\n";
      added_at = waits;
    }
    if (read_at < 0 && p->NotifyList.Lookup(key) != nullptr) read_at = waits;
    rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
    if (rig.clock->Now() >= t0 + 30 * ravenox::kOneMinute) p->Stop();
  };
  p->Execute();
  ASSERT_GT(added_at, 0);
  EXPECT_EQ(read_at, added_at + 1);  // read by the first pass after the change
  ASSERT_EQ(rig.outlook->Sent().size(), 1u);
  EXPECT_EQ(rig.outlook->Sent()[0].subject, key);
  ASSERT_EQ(when.size(), 1u);
  EXPECT_LE(std::abs(when[0] - (start - 5 * ravenox::kOneMinute)), 2.5 * ravenox::kOneMinute)
      << ravenox::FormatDateTime(when[0]);
}

// The task list the engine reads is a view too. Through it and through the whole list the engine
// sends the same texts at nearly the same times (a sweep of the whole list takes longer), over
// four days of a list with a long finished history, overdue and future tasks, tasks without
// dates, weekly ones, and tasks finished while the engine runs, whose reminders must stop.
TEST_F(LocalStore, TheTaskViewTextsWhatTheWholeListTexts) {
  setenv("TZ", "UTC", 1);
  tzset();
  const TDateTime t0 = EncodeDateTime(2026, 12, 7, 0, 0);
  std::mt19937 random(20261208u);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  auto day = [](TDateTime t) {
    const ravenox::DateParts d = ravenox::DecodeDateTime(t);
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
    return std::string(text);
  };
  struct Task {
    std::string props;
    bool done_later = false;
  };
  std::vector<Task> tasks;
  constexpr int kNone = -100000;  // no such date
  auto add = [&](const std::string& subject, int start, int due, const std::string& extra) {
    std::string p = "SUMMARY:" + subject + "\r\n";
    if (start != kNone) p += "DTSTART;VALUE=DATE:" + day(t0 + start) + "\r\n";
    if (due != kNone) p += "DUE;VALUE=DATE:" + day(t0 + due) + "\r\n";
    tasks.push_back({p + extra});
  };
  const std::string alarm = "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:PT9H\r\nEND:VALARM\r\n";
  for (int i = 0; i < 250; ++i) {
    const int due = pick(-400, -2);
    add("Finished " + std::to_string(i), due - pick(0, 5), due, "STATUS:COMPLETED\r\n");
  }
  for (int i = 0; i < 60; ++i) {
    const int due = pick(-5, 6);
    const int start = pick(0, 2) == 0 ? kNone : due - pick(0, 3);
    add("Open " + std::to_string(i), start, due, pick(0, 1) ? alarm : "");
    if (i % 6 == 0) tasks.back().done_later = true;
  }
  for (int i = 0; i < 20; ++i) add("Later " + std::to_string(i), pick(30, 300), pick(300, 400), "");
  for (int i = 0; i < 20; ++i)
    add("Lapsed " + std::to_string(i), pick(-90, -60), pick(-50, -3), "");
  for (int i = 0; i < 10; ++i) add("Someday " + std::to_string(i), kNone, kNone, "");
  for (int i = 0; i < 8; ++i)
    add("Weekly " + std::to_string(i), -14 + i, -12 + i, "RRULE:FREQ=WEEKLY\r\n" + alarm);
  auto write = [&](const std::filesystem::path& path, bool later) {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n";
    for (std::size_t i = 0; i < tasks.size(); ++i) {
      text += "BEGIN:VTODO\r\nUID:t" + std::to_string(i) + "\r\n" + tasks[i].props +
              (later && tasks[i].done_later ? "STATUS:COMPLETED\r\n" : "") + "END:VTODO\r\n";
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text << "END:VCALENDAR\r\n";
  };

  using Sent = std::vector<std::pair<std::string, TDateTime>>;
  auto run = [&](FolderScope scope, const char* name) {
    const auto path = Write(name, "");
    write(path, false);
    StoreProfile profile;
    profile.tasks = {path};
    rows::EngineOnStore store(profile, 0.0, 1439.0 / 1440, scope);
    auto& rig = store.rig;
    rig.host.meeting = false;
    rig.host.task = rig.host.task_pre = rig.host.task_reminder = true;
    rig.host.remind_period = 1;  // every twelve hours
    rig.clock->Set(t0 + 1.0 / 24);
    auto p = rig.Make();
    p->DebugEnabled = false;
    bool finished = false;
    rig.event->on_wait = [&](int) {
      rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
      if (!finished && rig.clock->Now() >= t0 + 1.5) {
        write(path, true);
        finished = true;
      }
      if (rig.clock->Now() >= t0 + 4.0) p->Stop();
    };
    p->Execute();
    Sent sent;
    const auto mails = rig.outlook->Sent();
    for (std::size_t i = 0; i < mails.size(); ++i)
      sent.emplace_back(mails[i].subject, store.when[i]);
    std::sort(sent.begin(), sent.end());
    return sent;
  };
  const Sent whole = run(FolderScope::kWhole, "whole.ics");
  const Sent view = run(FolderScope::kNow, "view.ics");
  ASSERT_EQ(view.size(), whole.size());
  for (std::size_t i = 0; i < view.size(); ++i) {
    EXPECT_EQ(view[i].first, whole[i].first);
    EXPECT_LE(std::abs(view[i].second - whole[i].second), 3 * ravenox::kOneMinute)
        << view[i].first << " " << ravenox::FormatDateTime(view[i].second) << " "
        << ravenox::FormatDateTime(whole[i].second);
  }
  EXPECT_GT(whole.size(), 40u);  // the days have texts to send
}

}  // namespace
}  // namespace outlook::localstore
