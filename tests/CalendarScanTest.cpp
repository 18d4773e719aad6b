#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "TestDay.h"
#include "base/Formats.h"

namespace ravenox::engine {
namespace {

using outlook::fake::FakeAppointment;
using testing::EngineRig;

std::shared_ptr<FakeAppointment> Meeting(EngineRig& rig, const std::string& subject,
                                         TDateTime start, int reminder = 15) {
  auto a = rig.outlook->AddAppointment();
  a->subject = subject;
  a->location = "Room 4";
  a->body = "Agenda";
  a->start = start;
  a->reminder_minutes = reminder;
  return a;
}

std::string Key(TDateTime start, const std::string& subject) {
  return FormatLongTime(start) + "@loc:Room 4:" + subject + " Agenda";
}

TEST(CheckAppointments, WindowBoundsAreInclusive) {
  struct Case {
    const char* name;
    double offset;  // start minus now
    bool taken;
  };
  const double ms = 1.0 / 86400000.0;
  const Case cases[] = {
      {"started exactly an hour ago", -kOneHour, true},
      {"started a moment more than an hour ago", -kOneHour - ms, false},
      {"starts in exactly three days", 3.0, true},
      {"starts a moment after three days", 3.0 + ms, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(At(12, 0));
    Meeting(rig, "M", rig.clock->Now() + c.offset);
    auto p = rig.Make();
    p->CheckAppointments();
    EXPECT_EQ(p->NotifyList.Count(), c.taken ? 1 : 0);
  }
}

TEST(CheckAppointments, BuildsTheRecord) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  auto a = Meeting(rig, "Plan", At(9, 0), 60);  // reminder flag plays no part
  a->body = std::string(150, 'b') + std::string(100, 'c');
  auto p = rig.Make();
  p->CheckAppointments();
  ASSERT_EQ(p->NotifyList.Count(), 1);
  const TEventItem& r = p->NotifyList[0];
  EXPECT_EQ(r.Text, FormatLongTime(At(9, 0)) + "@loc:Room 4:Plan " + std::string(150, 'b') +
                        std::string(50, 'c'));
  EXPECT_EQ(r.StartTime, At(9, 0));
  EXPECT_EQ(r.NotifyTime, At(8, 0));
  EXPECT_FALSE(r.Notified);
  EXPECT_EQ(r.LastSeen, At(8, 0));
  EXPECT_EQ(EngineRig::Count(*p, "Signal Occurance Meeting"), 1);
  EXPECT_EQ(EngineRig::Count(*p, "Added"), 1);
  EXPECT_EQ(EngineRig::Count(*p, "Scanning Meeting Folder, Count:1"), 1);
}

TEST(CheckAppointments, LongTextIsCutAndNotesShowOneKeyPerLine) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  Meeting(rig, std::string(300, 's'), At(9, 0));
  auto b = Meeting(rig, "Two\nlines", At(10, 0));
  auto p = rig.Make();
  p->CheckAppointments();
  ASSERT_EQ(p->NotifyList.Count(), 2);
  EXPECT_EQ(p->NotifyList[0].Text.size(), 255u);
  std::ifstream in(rig.dir.path() / "Test-Note.NST", std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  EXPECT_EQ(s.str(), p->NotifyList[0].Text + "\r\n" + Key(At(10, 0), "Two lines") + "\r\n");
}

// Test-Note.NST is rebuilt from the whole list: it follows the list at most once a minute (a large
// calendar adds keys on most passes of a sweep), and on a stop.
TEST(CheckAppointments, NotesFollowTheListWithinAMinute) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  Meeting(rig, "A", At(9, 0));
  auto p = rig.Make();
  auto notes = [&] { return testing::ReadAll(rig.dir.path() / "Test-Note.NST"); };
  const std::string a = Key(At(9, 0), "A") + "\r\n";
  const std::string ab = a + Key(At(9, 30), "B") + "\r\n";
  struct Step {
    const char* what;
    double after;  // days since the last step
    const char* add;
    std::string expected;
  };
  const Step steps[] = {
      {"first scan", 0, nullptr, a},
      {"a key added 15 s later", 15.0 / 86400, "B", a},
      {"a minute after the write", 46.0 / 86400, nullptr, ab},
      {"nothing new", 30.0 / 86400, nullptr, ab},
  };
  for (const auto& st : steps) {
    SCOPED_TRACE(st.what);
    rig.clock->Set(rig.clock->Now() + st.after);
    if (st.add != nullptr) Meeting(rig, st.add, At(9, 30));
    p->CheckAppointments();
    EXPECT_EQ(notes(), st.expected);
  }
  Meeting(rig, "C", At(10, 0));
  p->CheckAppointments();
  EXPECT_EQ(notes(), ab);
  p->Stop();  // a scan cut short by the stop writes what is new
  p->CheckAppointments();
  EXPECT_EQ(notes(), ab + Key(At(10, 0), "C") + "\r\n");
}

TEST(CheckAppointments, AMeetingFoundAgainKeepsItsState) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  auto a = Meeting(rig, "Plan", At(9, 0));
  auto p = rig.Make();
  p->CheckAppointments();
  p->NotifyList[0].Notified = true;
  a->reminder_minutes = 45;
  rig.clock->Set(At(8, 30));
  p->CheckAppointments();
  ASSERT_EQ(p->NotifyList.Count(), 1);
  EXPECT_TRUE(p->NotifyList[0].Notified);
  EXPECT_EQ(p->NotifyList[0].NotifyTime, At(8, 45));
  EXPECT_EQ(p->NotifyList[0].LastSeen, At(8, 30));
}

TEST(CheckAppointments, SameTimeAndTextOnDifferentDaysIsOneRecord) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  Meeting(rig, "Daily", At(9, 0));
  Meeting(rig, "Daily", At(9, 0) + 1.0);
  auto p = rig.Make();
  p->CheckAppointments();
  ASSERT_EQ(p->NotifyList.Count(), 1);
  EXPECT_EQ(p->NotifyList[0].StartTime, At(9, 0));
}

TEST(CheckAppointments, BudgetCursorAndWrap) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  for (int i = 0; i < 151; ++i) Meeting(rig, "far " + std::to_string(i), At(9, 0) + 30.0);
  auto p = rig.Make();
  p->CheckAppointments();
  EXPECT_EQ(p->AppointmentCursor, 151);
  EXPECT_EQ(EngineRig::Count(*p, "Reseting To First Meeting"), 0);
  rig.outlook->faults->ClearCalls();
  p->CheckAppointments();
  EXPECT_EQ(rig.outlook->faults->CountOf("Items.Item"), 1);  // just item 151
  EXPECT_EQ(EngineRig::Count(*p, "Reseting To First Meeting"), 1);
  EXPECT_EQ(p->AppointmentCursor, 1);
}

TEST(CheckAppointments, HeldKeyEndsTheScanButThePruneRuns) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  Meeting(rig, "Plan", At(9, 0));
  auto p = rig.Make();
  auto stale = std::make_unique<TEventItem>();
  stale->Text = "loaded from disk";  // no LastSeen after loading
  p->NotifyList.Add(std::move(stale));
  auto gone = std::make_unique<TEventItem>();
  gone->Text = "unseen by the last whole sweep";
  gone->Sweep = 1;
  p->NotifyList.Add(std::move(gone));
  p->CalendarSweep = 3;
  p->NotifyList.Lookup("loaded from disk")->Sweep = 2;  // met by the last whole sweep
  rig.input->SetKey(12, true);
  p->CheckAppointments();
  EXPECT_EQ(rig.outlook->faults->CountOf("Items.Item"), 0);
  ASSERT_EQ(p->NotifyList.Count(), 1);
  EXPECT_EQ(p->NotifyList[0].Text, "loaded from disk");
  EXPECT_EQ(EngineRig::Count(*p, "End Checking Appt"), 1);
  EXPECT_EQ(p->AppointmentCursor, 1);
}

TEST(CheckAppointments, PruneKeepsRecordsSeenWithinFourHours) {
  EngineRig rig;
  rig.clock->Set(At(12, 0));
  auto p = rig.Make();
  for (const auto& [name, seen] : std::vector<std::pair<std::string, TDateTime>>{
           {"exactly four hours", At(8, 0)}, {"a moment more", At(7, 59, 59, 999)}}) {
    auto r = std::make_unique<TEventItem>();
    r->Text = name;
    r->LastSeen = seen;
    p->NotifyList.Add(std::move(r));
  }
  p->CheckAppointments();
  ASSERT_EQ(p->NotifyList.Count(), 1);
  EXPECT_EQ(p->NotifyList[0].Text, "exactly four hours");
}

TEST(CheckAppointments, AFailingItemIsSkippedAndItsNeighbourRead) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  Meeting(rig, "one", At(9, 0));
  Meeting(rig, "two", At(9, 0));
  Meeting(rig, "three", At(9, 0));
  rig.outlook->faults->FailOn("Appointment.Subject", 1, "Property is unavailable");
  auto p = rig.Make();
  p->CheckAppointments();
  ASSERT_EQ(p->NotifyList.Count(), 2);
  EXPECT_EQ(p->NotifyList[0].Text, Key(At(9, 0), "three"));
  EXPECT_EQ(p->NotifyList[1].Text, Key(At(9, 0), "two"));
  EXPECT_EQ(EngineRig::Count(*p, "Save ErrorProperty is unavailable"), 1);
  EXPECT_EQ(p->AppointmentCursor, 1);  // wrapped after running past the end
}

TEST(CheckAppointments, NullItemsAndRecurringItems) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  rig.outlook->calendar->items.push_back(nullptr);
  auto a = Meeting(rig, "Standup", At(9, 0) - 30.0);
  a->is_recurring = true;
  a->pattern->type = outlook::olRecursDaily;
  a->pattern->interval = 1;
  a->pattern->pattern_start_date = kToday - 30.0;
  a->pattern->start_time = At(9, 30) - 30.0;
  a->pattern->no_end_date = true;
  auto b = Meeting(rig, "Ended", At(9, 0) - 30.0);
  b->is_recurring = true;
  b->pattern->type = outlook::olRecursMonthNth;
  auto p = rig.Make();
  p->CheckAppointments();
  ASSERT_EQ(p->NotifyList.Count(), 1);
  EXPECT_EQ(p->NotifyList[0].StartTime, At(9, 30));
  EXPECT_EQ(EngineRig::Count(*p, "No Next Meeting Time"), 1);
}

TEST(CheckAppointments, FolderErrorsEndThePass) {
  EngineRig rig;
  rig.outlook->faults->FailOn("Items.Count", 1);
  auto p = rig.Make();
  EXPECT_THROW(p->CheckAppointments(), outlook::AutomationError);
}

TEST(FirstMeeting, EarliestNotifyTimeNotEarliestStart) {
  EngineRig rig;
  rig.clock->Set(At(7, 5));
  Meeting(rig, "nine with an hour's reminder", At(9, 0), 60);
  Meeting(rig, "half eight", At(8, 30), 15);
  Meeting(rig, "tomorrow", At(8, 0) + 1.0, 15);
  auto p = rig.Make();
  p->CheckAppointments();
  p->MorningFirstMeeting();
  auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].subject, "First:" + Key(At(9, 0), "nine with an hour's reminder"));
  EXPECT_EQ(p->NextMorningCheck, kToday + 1.0);
  EXPECT_TRUE(p->NotifyList.Lookup(Key(At(9, 0), "nine with an hour's reminder"))->Notified);

  rig.clock->Set(At(18, 50));
  p->EveningFirstMeeting();
  sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].subject, "First:" + Key(At(8, 0), "tomorrow"));
  EXPECT_EQ(p->NextEveningCheck, kToday + 1.0);
}

TEST(FirstMeeting, TiesKeepTheOneNearerTheEndOfTheList) {
  EngineRig rig;
  rig.clock->Set(At(7, 5));
  Meeting(rig, "alpha", At(9, 0));
  Meeting(rig, "beta", At(9, 0));
  auto p = rig.Make();
  p->CheckAppointments();
  p->MorningFirstMeeting();
  ASSERT_EQ(rig.outlook->Sent().size(), 1u);
  EXPECT_EQ(rig.outlook->Sent()[0].subject, "First:" + Key(At(9, 0), "beta"));
}

TEST(FirstMeeting, NoCandidateSendsNothingButMovesTheCheck) {
  EngineRig rig;
  rig.clock->Set(At(7, 5));
  Meeting(rig, "already started yesterday", At(0, 10), 15);  // notify time before today
  auto p = rig.Make();
  p->CheckAppointments();
  p->MorningFirstMeeting();
  EXPECT_TRUE(rig.outlook->Sent().empty());
  EXPECT_EQ(p->NextMorningCheck, kToday + 1.0);
}

TEST(FirstMeeting, AFailedNoticeLeavesTheMeetingItsOwnNotification) {
  EngineRig rig;
  rig.clock->Set(At(7, 5));
  Meeting(rig, "Plan", At(9, 0));
  rig.outlook->faults->FailOn("Mail.Send", 1);
  auto p = rig.Make();
  p->CheckAppointments();
  p->MorningFirstMeeting();
  EXPECT_FALSE(p->NotifyList[0].Notified);
  EXPECT_EQ(p->NextMorningCheck, kToday + 1.0);
}

// A daily series at 10:00 with its exceptions, as Outlook's object model gives them.
TEST(CalendarScan, ExceptionsOfASeries) {
  struct Case {
    const char* name;
    std::function<void(FakeAppointment&, EngineRig&)> change;
    TDateTime start;  // 0: no record
  };
  auto occurrence = [](EngineRig& rig, TDateTime start) {
    auto o = std::make_shared<FakeAppointment>(rig.outlook->faults);
    o->subject = "Daily";
    o->start = start;
    return o;
  };
  const Case cases[] = {
      {"as the pattern has it", [](FakeAppointment&, EngineRig&) {}, At(10, 0)},
      {"today's deleted: tomorrow's",
       [](FakeAppointment& a, EngineRig&) { a.pattern->deleted = {kToday}; }, At(10, 0) + 1.0},
      {"today's moved to 15:00",
       [&](FakeAppointment& a, EngineRig& rig) {
         a.pattern->ChangeOccurrence(kToday, occurrence(rig, At(15, 0)));
       },
       At(15, 0)},
      {"today's cancelled",
       [&](FakeAppointment& a, EngineRig& rig) {
         auto o = occurrence(rig, At(10, 0));
         o->meeting_status = outlook::olMeetingCanceled;
         a.pattern->ChangeOccurrence(kToday, o);
       },
       0.0},
      {"the series declined",
       [](FakeAppointment& a, EngineRig&) { a.response_status = outlook::olResponseDeclined; },
       0.0},
      {"an all-day series without a reminder",
       [](FakeAppointment& a, EngineRig&) {
         a.all_day = true;
         a.reminder_set = false;
       },
       0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(At(8, 0));
    auto a = Meeting(rig, "Daily", At(10, 0) - 30.0);
    a->is_recurring = true;
    a->pattern->pattern_start_date = kToday - 30.0;
    a->pattern->start_time = At(10, 0) - 30.0;
    c.change(*a, rig);
    auto p = rig.Make();
    p->CheckAppointments();
    if (c.start == TDateTime(0.0)) {
      EXPECT_EQ(p->NotifyList.Count(), 0);
    } else {
      ASSERT_EQ(p->NotifyList.Count(), 1);
      EXPECT_EQ(p->NotifyList[0].StartTime, c.start);
    }
  }
}

// Tomorrow's occurrence of a weekly series, moved to today, is found although today is not a day
// of the pattern; an all-day event with a reminder is texted but is never the first meeting.
TEST(CalendarScan, MovedInOccurrencesAndAllDayEvents) {
  EngineRig rig;
  rig.clock->Set(At(8, 0));
  auto weekly = Meeting(rig, "Weekly", At(11, 0) + 1.0 - 70.0);
  weekly->is_recurring = true;
  weekly->pattern->type = outlook::olRecursWeekly;
  weekly->pattern->day_of_week_mask = 1 << (DayOfWeek(kToday + 5.0) - 1);  // off the window
  weekly->pattern->pattern_start_date = kToday + 5.0 - 70.0;
  weekly->pattern->start_time = At(11, 0);
  auto moved = std::make_shared<FakeAppointment>(rig.outlook->faults);
  moved->subject = "Weekly";
  moved->start = At(13, 0);
  weekly->pattern->ChangeOccurrence(kToday + 5.0, moved);
  // The day after tomorrow, its reminder at 09:00 tomorrow.
  auto holiday = Meeting(rig, "Holiday", kToday + 2.0, 15 * 60);
  holiday->all_day = true;
  auto p = rig.Make();
  p->CheckAppointments();
  ASSERT_EQ(p->NotifyList.Count(), 2);
  EXPECT_TRUE(p->NotifyList.Lookup(FormatLongTime(At(13, 0)) + "@loc::Weekly ") != nullptr);
  rig.host.evening = true;
  p->EveningFirstMeeting();
  EXPECT_TRUE(rig.outlook->Sent().empty());  // the holiday is no meeting
}

}  // namespace
}  // namespace ravenox::engine
