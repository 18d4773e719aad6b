// A week of the engine on a fake clock against the in-memory Outlook: tasks with and without
// reminders, a recurring task, urgent and ordinary mail. Exactly the predicted messages go out,
// each in its expected few minutes.
#include <gtest/gtest.h>

#include <map>

#include "EngineFakes.h"
#include "base/Formats.h"

namespace ravenox::engine {
namespace {

using testing::EngineRig;

const TDateTime kMonday = EncodeDate(2026, 12, 7);
TDateTime On(int day, int h, int m = 0) {
  return kMonday + day + EncodeTime(h, m, 0).Value();
}

struct Expected {
  std::string subject;
  TDateTime from, to;  // sent strictly after `from`, not after `to`
};

TEST(WeekSimulation, TaskAndUrgentMailMessages) {
  EngineRig rig;
  rig.host.task = rig.host.task_pre = rig.host.task_reminder = true;
  rig.host.urgent = true;
  rig.host.remind_period = 2;
  rig.clock->Set(kMonday);

  // Due Wednesday, reminder Monday 15:00, completed Thursday noon.
  auto report = rig.outlook->AddTask();
  report->subject = "Report";
  report->start_date = kMonday;
  report->due_date = kMonday + 2.0;
  report->reminder_set = true;
  report->reminder_time = On(0, 15);
  // No start date, no reminder, due Saturday.
  auto bank = rig.outlook->AddTask();
  bank->subject = "Call bank";
  bank->due_date = kMonday + 5.0;
  // Weekly; Outlook still shows last week's instance (reminder Friday 09:00).
  auto timesheet = rig.outlook->AddTask();
  timesheet->subject = "Timesheet";
  timesheet->is_recurring = true;
  timesheet->start_date = kMonday - 7.0;
  timesheet->due_date = kMonday - 3.0;
  timesheet->reminder_set = true;
  timesheet->reminder_time = On(-3, 9);

  auto mail = [&](const std::string& subject, int importance, bool unread) {
    auto m = std::make_shared<outlook::fake::FakeMail>(rig.outlook->faults);
    m->subject = subject;
    m->sender_name = "Ops";
    m->importance = importance;
    m->unread = unread;
    m->received_time = rig.clock->Now();
    rig.outlook->inbox->items.push_back(m);
    return m;
  };
  mail("Lunch?", 1, true);
  mail("Old news", 2, false);

  std::vector<std::pair<std::string, TDateTime>> sent;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send") sent.emplace_back("", rig.clock->Now());
  });

  // Things that happen in the week, each once, when the clock passes its time.
  std::shared_ptr<outlook::fake::FakeMail> duplicate;
  std::vector<std::pair<TDateTime, std::function<void()>>> events = {
      {On(1, 14), [&] { mail("Server down", 2, true); }},
      {On(1, 16), [&] { duplicate = mail("Server down", 2, true); }},
      {On(1, 18), [&] { duplicate->unread = false; }},
      {On(3, 12), [&] { report->complete = true; }},
  };
  auto p = rig.Make();
  p->DebugEnabled = false;
  rig.event->on_wait = [&](int) {
    rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
    for (auto& [when, what] : events) {
      if (what && rig.clock->Now() >= when) {
        what();
        what = nullptr;
      }
    }
    if (rig.clock->Now() >= kMonday + 7.0) p->Stop();
  };
  p->Execute();

  const auto mails = rig.outlook->Sent();
  ASSERT_EQ(mails.size(), sent.size());
  for (std::size_t i = 0; i < mails.size(); ++i) sent[i].first = mails[i].subject;

  const std::string report_key = "Report:" + FormatShortDate(kMonday + 2.0);
  const std::string bank_key = "Call bank:" + FormatShortDate(kMonday + 5.0);
  const std::string timesheet_key = "Timesheet:" + FormatShortDate(kMonday + 4.0);
  auto early = [](int day) { return std::pair{On(day, 7), On(day, 7, 1)}; };
  std::vector<Expected> expected = {
      {report_key, On(0, 15) - 1e-9, On(0, 15, 1)},   // its reminder time
      {report_key, early(1).first, early(1).second},  // the day before it is due
      {"Urgent Email:Server down From:Ops", On(1, 14), On(1, 14, 2)},
      {report_key, early(2).first, early(2).second},  // past due, daily
      {report_key, early(3).first, early(3).second},
      {timesheet_key, early(3).first, early(3).second},  // the day before it is due
      {bank_key, early(4).first, early(4).second},       // the day before it is due
      {timesheet_key, On(4, 9), On(4, 9, 1)},  // past due once its reminder time has passed
      {bank_key, early(5).first, early(5).second},
      {timesheet_key, On(5, 9), On(5, 9, 1)},
      {bank_key, early(6).first, early(6).second},
      {timesheet_key, On(6, 9), On(6, 9, 1)},
  };
  std::vector<std::string> unexpected;
  for (const auto& [subject, when] : sent) {
    auto match = std::find_if(expected.begin(), expected.end(), [&](const Expected& e) {
      return e.subject == subject && when > e.from && when <= e.to;
    });
    if (match == expected.end()) {
      unexpected.push_back(FormatDateTime(when) + " " + subject);
    } else {
      expected.erase(match);
    }
  }
  EXPECT_TRUE(unexpected.empty()) << ::testing::PrintToString(unexpected);
  std::vector<std::string> missing;
  for (const auto& e : expected) missing.push_back(FormatDateTime(e.from) + " " + e.subject);
  EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
  // The recurring task was moved on in Outlook, once on Monday and again on Saturday.
  EXPECT_EQ(rig.outlook->faults->CountOf("Task.SkipRecurrence"), 2);
}

// A month of open tasks, some long overdue, with the past-due reminders off and a restart half-way:
// each task gives its messages once, however long it stays open and however large the task list.
TEST(MonthSimulation, OpenTasksAreTextedOnce) {
  const TDateTime first_day = EncodeDate(2026, 11, 1);
  EngineRig rig;
  rig.host.task = rig.host.task_pre = true;
  rig.host.task_reminder = false;
  rig.clock->Set(first_day);

  auto task = [&](const std::string& subject, TDateTime start, TDateTime due, TDateTime reminder) {
    auto t = rig.outlook->AddTask();
    t->subject = subject;
    t->start_date = start;
    t->due_date = due;
    t->reminder_set = reminder != TDateTime(0.0);
    t->reminder_time = reminder;
    return t;
  };
  // More tasks than one pass reads, so a sweep of the list takes two passes.
  for (int i = 0; i < 130; ++i) task("Someday " + std::to_string(i), kNoDate, kNoDate, 0.0);
  // Overdue since before the month, no start date: its start "lies ahead", so every scan takes it.
  task("Overdue", kNoDate, first_day - 10.0, first_day - 10.0 + 9.0 / 24);
  // Due mid-month: texted the day before; that marks it notified, so its reminder adds nothing.
  task("Mid-month", kNoDate, first_day + 14.0, first_day + 14.0 + 9.0 / 24);
  // Started and due before the month: wholly past, never taken.
  task("Forgotten", first_day - 20.0, first_day - 10.0, first_day - 10.0 + 9.0 / 24);

  // At the computer from 09:00 to 17:00 on every day: the mouse moves on every look.
  rig.input->on_cursor_read = [&](long, platform::CursorPoint& c) {
    const double t = TimeOf(rig.clock->Now());
    if (t >= 9.0 / 24 && t <= 17.0 / 24) ++c.X;
  };
  std::vector<std::pair<std::string, TDateTime>> sent;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send") sent.emplace_back("", rig.clock->Now());
  });
  auto run_until = [&](TDateTime end) {
    auto p = rig.Make();
    p->DebugEnabled = false;
    rig.event->on_wait = [&](int) {
      rig.outlook->faults->ClearCalls();  // a month of calls would fill the memory
      rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
      if (rig.clock->Now() >= end) p->Stop();
    };
    p->Execute();
  };
  run_until(first_day + 10.5);
  run_until(first_day + 30.0);  // the same working folder, as after a restart

  const auto mails = rig.outlook->Sent();
  ASSERT_EQ(mails.size(), sent.size());
  std::map<std::string, int> times;
  for (const auto& m : mails) ++times[m.subject.substr(0, m.subject.find(':'))];
  const std::map<std::string, int> expected = {{"Overdue", 1}, {"Mid-month", 1}};
  EXPECT_EQ(times, expected);
}

}  // namespace
}  // namespace ravenox::engine
