// A whole day of the engine on a fake clock against the in-memory Outlook: exactly the meeting
// messages that are due go out, each once, never outside the user's day or while the user is at
// the computer.
#include <gtest/gtest.h>

#include "EngineFakes.h"
#include "base/Formats.h"

namespace ravenox::engine {
namespace {

using testing::EngineRig;

const TDateTime kTheDay = EncodeDate(2026, 12, 8);  // a Tuesday
TDateTime OnTheDay(int h, int m) {
  return kTheDay + EncodeTime(h, m, 0).Value();
}

struct SentAt {
  std::string subject;
  TDateTime when;
};

TEST(DaySimulation, MeetingMessagesOfADay) {
  EngineRig rig;
  rig.host.meeting = true;
  rig.host.morning = true;
  rig.host.evening = true;
  rig.clock->Set(OnTheDay(0, 0));

  auto single = [&](const std::string& subject, TDateTime start, int reminder) {
    auto a = rig.outlook->AddAppointment();
    a->subject = subject;
    a->location = "HQ";
    a->start = start;
    a->reminder_minutes = reminder;
    return a;
  };
  auto key = [](TDateTime start, const std::string& subject) {
    return FormatLongTime(start) + "@loc:HQ:" + subject + " ";
  };
  single("Early bird", OnTheDay(6, 30), 15);    // due 06:15, before the day begins
  single("Standup", OnTheDay(9, 0), 15);        // due 08:45; announced by the morning notice
  single("Lunch", OnTheDay(12, 30), 30);        // due 12:00 while the user is at the computer
  single("Late call", OnTheDay(20, 0), 15);     // due 19:45, after the day ends
  single("Offsite", OnTheDay(8, 0) + 1.0, 60);  // tomorrow; announced by the evening notice
  auto review = single("Review", OnTheDay(10, 0) - 70.0, 15);
  review->is_recurring = true;  // Tuesdays and Thursdays at 10:00, due 09:45
  review->pattern->type = outlook::olRecursWeekly;
  review->pattern->day_of_week_mask = 4 | 16;
  review->pattern->interval = 1;
  review->pattern->pattern_start_date = kTheDay - 70.0;
  review->pattern->start_time = OnTheDay(10, 0) - 70.0;
  review->pattern->no_end_date = true;
  auto sync = single("Sync", OnTheDay(16, 0) - 7.0, 10);
  sync->is_recurring = true;  // daily at 16:00, due 15:50
  sync->pattern->type = outlook::olRecursDaily;
  sync->pattern->interval = 1;
  sync->pattern->pattern_start_date = kTheDay - 7.0;
  sync->pattern->start_time = OnTheDay(16, 0) - 7.0;
  sync->pattern->no_end_date = true;

  // The user is at the computer from 11:50 to 12:10: the mouse moves on every look.
  rig.input->on_cursor_read = [&](long, platform::CursorPoint& c) {
    const TDateTime now = rig.clock->Now();
    if (now >= OnTheDay(11, 50) && now <= OnTheDay(12, 10)) ++c.X;
  };
  std::vector<SentAt> sent;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send") sent.push_back({"", rig.clock->Now()});
  });

  auto p = rig.Make();
  p->DebugEnabled = false;
  rig.event->on_wait = [&](int) {
    rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
    if (rig.clock->Now() >= kTheDay + 1.0) p->Stop();
  };
  p->Execute();

  const auto mails = rig.outlook->Sent();
  ASSERT_EQ(mails.size(), sent.size());
  for (std::size_t i = 0; i < mails.size(); ++i) sent[i].subject = mails[i].subject;

  const std::vector<std::string> expected = {
      "First:" + key(OnTheDay(9, 0), "Standup"),
      key(OnTheDay(10, 0), "Review"),
      key(OnTheDay(16, 0), "Sync"),
      "First:" + key(OnTheDay(8, 0) + 1.0, "Offsite"),
  };
  std::vector<std::string> subjects;
  for (const auto& s : sent) subjects.push_back(s.subject);
  EXPECT_EQ(subjects, expected);

  ASSERT_EQ(sent.size(), 4u);
  EXPECT_GT(sent[0].when, OnTheDay(7, 0));
  EXPECT_LT(sent[0].when, OnTheDay(7, 15));
  EXPECT_GE(sent[1].when, OnTheDay(9, 43));
  EXPECT_LE(sent[1].when, OnTheDay(9, 47));
  EXPECT_GE(sent[2].when, OnTheDay(15, 48));
  EXPECT_LE(sent[2].when, OnTheDay(15, 52));
  EXPECT_GT(sent[3].when, OnTheDay(18, 45));
  EXPECT_LT(sent[3].when, OnTheDay(19, 0));
  EXPECT_EQ(p->NextMorningCheck, kTheDay + 1.0);
  EXPECT_EQ(p->NextEveningCheck, kTheDay + 1.0);
}

// The engine stopped and started again in the same folder, twice, beside a calendar larger than one
// scan reads: what was sent before a restart is not sent again after it.
TEST(DaySimulation, RestartsSendNothingTwice) {
  EngineRig rig;
  rig.host.meeting = rig.host.morning = rig.host.evening = true;
  auto single = [&](const std::string& subject, TDateTime start) {
    auto a = rig.outlook->AddAppointment();
    a->subject = subject;
    a->start = start;
    a->reminder_minutes = 15;
  };
  for (int i = 0; i < 180; ++i)
    single("Last year " + std::to_string(i), OnTheDay(9, 0) - 365.0 + i);
  single("Review", OnTheDay(14, 0));        // due 13:45, past the first 150 items
  single("Offsite", OnTheDay(9, 0) + 1.0);  // announced by the evening notice
  for (int i = 0; i < 20; ++i) single("Next year " + std::to_string(i), OnTheDay(9, 0) + 365.0 + i);

  std::vector<std::string> sent;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send") sent.push_back(FormatDateTime(rig.clock->Now()));
  });
  auto run = [&](TDateTime from, TDateTime to) {
    rig.clock->Set(from);
    auto p = rig.Make();
    p->DebugEnabled = false;
    rig.event->on_wait = [&](int) {
      rig.outlook->faults->ClearCalls();
      rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
      if (rig.clock->Now() >= to) p->Stop();
    };
    p->Execute();
  };
  run(OnTheDay(12, 0), OnTheDay(13, 44));        // sends Review's text at 13:43, two minutes early
  run(OnTheDay(13, 44), OnTheDay(18, 55));       // due within two minutes, but sent already
  run(OnTheDay(18, 55), OnTheDay(10, 0) + 1.0);  // after the evening notice, over the night

  std::vector<std::string> subjects;
  for (const auto& m : rig.outlook->Sent()) subjects.push_back(m.subject);
  const std::vector<std::string> expected = {
      FormatLongTime(OnTheDay(14, 0)) + "@loc::Review ",
      "First:" + FormatLongTime(OnTheDay(9, 0)) + "@loc::Offsite ",
  };
  EXPECT_EQ(subjects, expected) << ::testing::PrintToString(sent);
}

}  // namespace
}  // namespace ravenox::engine
