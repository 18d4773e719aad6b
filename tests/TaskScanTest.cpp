#include <gtest/gtest.h>

#include "EngineFakes.h"
#include "TestDay.h"
#include "base/Formats.h"

namespace ravenox::engine {
namespace {

using outlook::fake::FakeTask;
using testing::EngineRig;

const double kMs = 1.0 / 86400000.0;

std::shared_ptr<FakeTask> Task(EngineRig& rig, const std::string& subject, TDateTime start,
                               TDateTime due) {
  auto t = rig.outlook->AddTask();
  t->subject = subject;
  t->start_date = start;
  t->due_date = due;
  return t;
}

std::string Key(const std::string& subject, TDateTime due_day) {
  return subject + ":" + FormatShortDate(due_day);
}

TEST(CheckTasks, Window) {
  struct Case {
    const char* name;
    TDateTime now, start, due;
    bool taken;
  };
  const TDateTime now = At(12, 0);
  const Case cases[] = {
      {"wholly past by a moment", now, now - kMs, now - kMs, false},
      {"due exactly now", now, now - 1.0, now, true},
      {"starts in exactly a day", now, now + 1.0, kNoDate, true},
      {"starts and falls due a moment after a day", now, now + 1.0 + kMs, now + 1.0 + kMs, false},
      {"no dates at all", now, kNoDate, kNoDate, false},
      {"past due without a start date", now, kNoDate, now - 3.0, true},
      {"past due and started", now, now - 5.0, now - 3.0, false},
      {"due tomorrow at midnight, a day before", kToday, kNoDate, kToday + 1.0, true},
      {"due tomorrow at midnight, a moment earlier", kToday - kMs, kNoDate, kToday + 1.0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(c.now);
    Task(rig, "T", c.start, c.due);
    auto p = rig.Make();
    p->CheckTasks();
    EXPECT_EQ(p->TaskList.Count(), c.taken ? 1 : 0);
  }
}

TEST(CheckTasks, BuildsTheRecord) {
  EngineRig rig;
  rig.clock->Set(At(12, 0));
  auto t = Task(rig, "Report", kToday, kToday + 2.0 + 22.0 / 24);  // due the 10th at 22:00
  t->reminder_set = true;
  t->reminder_time = At(15, 0);
  auto p = rig.Make();
  p->CheckTasks();
  ASSERT_EQ(p->TaskList.Count(), 1);
  const TTaskEvent& r = p->TaskList[0];
  EXPECT_EQ(r.DueDay, kToday + 3.0);  // 22:00 plus 0.1 day rounds to the next day
  EXPECT_EQ(r.Text, Key("Report", kToday + 3.0));
  EXPECT_EQ(r.NextReminder, At(15, 0));
  EXPECT_EQ(r.PreNotifyDay, kToday + 2.0);
  EXPECT_EQ(r.EventDate, kToday + 3.0);
  EXPECT_EQ(r.StartDate, kToday);
  EXPECT_FALSE(r.Notified || r.PreNotified || r.Complete);
  const std::vector<std::string> trace = {"Check For : Report", "Find Task :" + r.Text,
                                          "Adding Task"};
  EXPECT_EQ(rig.trace->lines, trace);
  EXPECT_TRUE(std::filesystem::exists(rig.dir.path() / "Test-Task.NST"));
  EXPECT_EQ(rig.host.Statuses().front(), "Checking for New Tasks...1");

  t->reminder_time = At(16, 0);
  p->CheckTasks();  // found again: nothing changes
  EXPECT_EQ(p->TaskList[0].NextReminder, At(15, 0));
  EXPECT_EQ(rig.trace->lines.back(), "Repeat");
}

TEST(CheckTasks, DueDayIsTheDueDateNudgedAndRounded) {
  struct Case {
    int hour, minute;
    double days_after;  // the due day, counted from the due date's own day
  };
  // A tenth of a day (2 h 24 min) is added before rounding to the nearest day.
  const Case cases[] = {{0, 0, 0}, {9, 0, 0}, {9, 35, 0}, {9, 37, 1}, {10, 0, 1}, {23, 0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.hour) + ":" + std::to_string(c.minute));
    EngineRig rig;
    rig.clock->Set(kToday + 1.0);  // the due date's day: every due time is within the window
    Task(rig, "T", kNoDate, kToday + 1.0 + EncodeTime(c.hour, c.minute, 0).Value());
    auto p = rig.Make();
    p->CheckTasks();
    ASSERT_EQ(p->TaskList.Count(), 1);
    EXPECT_EQ(p->TaskList[0].DueDay, kToday + 1.0 + c.days_after);
  }
}

TEST(CheckTasks, RecurringTasksAreMovedPastToday) {
  struct Case {
    const char* name;
    TDateTime start, due;
    bool refused;
    int skips;
    TDateTime due_after;
  };
  const Case cases[] = {
      {"three weeks behind", kToday - 22.0, kToday - 18.0, false, 3, kToday + 3.0},
      {"instance ending today needs no move", kToday - 4.0, kToday, false, 0, kToday},
      {"no start date: moved once", kNoDate, kToday - 15.0, false, 1, kToday - 8.0},
      {"Outlook refuses", kToday - 22.0, kToday - 18.0, true, 1, kToday - 18.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(At(9, 0));
    auto t = Task(rig, "Timesheet", c.start, c.due);
    t->is_recurring = true;
    t->skip_refused = c.refused;
    auto p = rig.Make();
    p->CheckTasks();
    EXPECT_EQ(rig.outlook->faults->CountOf("Task.SkipRecurrence"), c.skips);
    EXPECT_EQ(t->due_date, c.due_after);
  }
}

TEST(CheckTasks, ARecurringTaskReadsItsReminderOnlyAfterAMove) {
  for (const bool moved : {false, true}) {
    EngineRig rig;
    rig.clock->Set(At(9, 0));
    auto t =
        Task(rig, "Timesheet", moved ? kToday - 7.0 : kToday, moved ? kToday - 3.0 : kToday + 4.0);
    t->is_recurring = true;
    t->reminder_set = true;
    t->reminder_time = moved ? kToday - 3.0 : kToday + 4.0;
    auto p = rig.Make();
    p->CheckTasks();
    ASSERT_EQ(p->TaskList.Count(), 1);
    EXPECT_EQ(p->TaskList[0].NextReminder, moved ? kToday + 4.0 : TDateTime(0.0));
  }
}

TEST(CheckTasks, CompleteTasksAreNeverTakenButTheirRecordLearnsIt) {
  EngineRig rig;
  rig.clock->Set(At(9, 0));
  auto t = Task(rig, "Report", kToday - 1.0, kToday + 1.0);
  t->complete = true;
  auto p = rig.Make();
  p->CheckTasks();
  EXPECT_EQ(p->TaskList.Count(), 0);
  t->complete = false;
  p->CheckTasks();
  ASSERT_EQ(p->TaskList.Count(), 1);
  EXPECT_FALSE(p->TaskList[0].Complete);
  t->complete = true;
  p->CheckTasks();
  EXPECT_TRUE(p->TaskList[0].Complete);
}

TEST(CheckTasks, BudgetAndWrap) {
  EngineRig rig;
  rig.clock->Set(At(9, 0));
  for (int i = 0; i < 121; ++i) Task(rig, "T" + std::to_string(i), kNoDate, kNoDate);
  auto p = rig.Make();
  p->CheckTasks();
  EXPECT_EQ(p->TaskCursor, 121);
  rig.outlook->faults->ClearCalls();
  p->CheckTasks();
  EXPECT_EQ(rig.outlook->faults->CountOf("Items.Item"), 1);
  EXPECT_EQ(p->TaskCursor, 1);
}

TEST(CheckTasks, ErrorsLeaveTheScanWithTheCursorPastTheTask) {
  EngineRig rig;
  Task(rig, "A", kNoDate, kNoDate);
  Task(rig, "B", kNoDate, kNoDate);
  rig.outlook->faults->FailOn("Task.Subject", 1);
  auto p = rig.Make();
  EXPECT_THROW(p->CheckTasks(), outlook::AutomationError);
  EXPECT_EQ(p->TaskCursor, 2);
}

TTaskEvent& AddRecord(TOutlookProcessor& p, const std::string& text, TDateTime due_day,
                      TDateTime next_reminder = 0.0) {
  auto r = std::make_unique<TTaskEvent>();
  r->Text = text;
  r->DueDay = due_day;
  r->EventDate = due_day;
  r->PreNotifyDay = due_day - 1.0;
  r->NextReminder = next_reminder;
  p.TaskList.Add(std::move(r));
  return *p.TaskList.Lookup(text);
}

TEST(TaskReminders, PeriodTable) {
  struct Case {
    int32_t setting;
    double days;
    int32_t setting_after;
  };
  const Case cases[] = {{0, 1.0 / 24, 0}, {1, 0.5, 1},  {2, 1.0, 2},
                        {3, 7.0, 3},      {-1, 1.0, 2}, {4, 1.0, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    EngineRig rig;
    rig.host.task_reminder = true;
    rig.host.remind_period = c.setting;
    rig.clock->Set(At(9, 0));
    auto p = rig.Make();
    AddRecord(*p, "T:12/01/26", kToday - 7.0);
    p->TaskReminders();
    EXPECT_EQ(p->TaskList[0].NextReminder, At(9, 0) + c.days);
    EXPECT_EQ(rig.host.remind_period, c.setting_after);
    EXPECT_EQ(rig.outlook->Sent().size(), 1u);
  }
}

TEST(TaskReminders, TwelveHoursApartWithPeriodOne) {
  EngineRig rig;
  rig.host.task_reminder = true;
  rig.host.remind_period = 1;
  auto p = rig.Make();
  AddRecord(*p, "T", kToday - 1.0);
  std::vector<int> sent_at;
  for (int hour = 7; hour <= 19; ++hour) {
    rig.clock->Set(At(hour, 0, hour));
    const auto before = rig.outlook->Sent().size();
    p->TaskReminders();
    if (rig.outlook->Sent().size() > before) sent_at.push_back(hour);
  }
  EXPECT_EQ(sent_at, (std::vector<int>{7, 19}));
}

TEST(TaskReminders, NotificationAndPreNotification) {
  struct Case {
    const char* name;
    TDateTime now, next_reminder;
    bool task_notify, pre_notify;
    std::size_t messages;
    bool notified, pre_notified;
  };
  const TDateTime due = kToday + 1.0;
  const Case cases[] = {
      {"reminder time reached", At(10, 0), At(10, 0), true, false, 1, true, false},
      {"reminder time ahead", At(9, 59), At(10, 0), true, false, 0, false, false},
      {"no reminder, no notification", At(10, 0), 0.0, true, false, 0, false, false},
      {"switch off", At(10, 0), At(10, 0), false, false, 0, false, false},
      // A message that goes out marks the record notified, whichever step sent it.
      {"day before the due day", At(0, 0), 0.0, false, true, 1, true, true},
      {"the due day itself", due, 0.0, false, true, 0, false, false},
      {"two days before", At(0, 0) - kMs, 0.0, false, true, 0, false, false},
      {"both in one call", At(10, 0), At(10, 0), true, true, 2, true, true},
      {"pre-notified first: no notification", At(10, 0), At(10, 0), true, false, 0, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.host.task = c.task_notify;
    rig.host.task_pre = c.pre_notify;
    rig.clock->Set(c.now);
    auto p = rig.Make();
    TTaskEvent& r = AddRecord(*p, "Report", due, c.next_reminder);
    if (std::string(c.name).rfind("pre-notified", 0) == 0) r.Notified = r.PreNotified = true;
    p->TaskReminders();
    EXPECT_EQ(rig.outlook->Sent().size(), c.messages);
    EXPECT_EQ(r.Notified, c.notified);
    EXPECT_EQ(r.PreNotified, c.pre_notified);
    if (c.messages > 0) {
      EXPECT_EQ(r.LastNotified, c.now);
    }
    for (const auto& mail : rig.outlook->Sent()) EXPECT_EQ(mail.subject, "Report");
    EXPECT_TRUE(std::filesystem::exists(rig.dir.path() / "TASK.CLD"));
  }
}

TEST(TaskReminders, NotificationAndPastDueReminderInOneCall) {
  EngineRig rig;
  rig.host.task = true;
  rig.host.task_pre = true;
  rig.host.task_reminder = true;
  rig.clock->Set(At(10, 0, 1));
  auto p = rig.Make();
  AddRecord(*p, "Report", kToday, At(10, 0));
  p->TaskReminders();
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].subject, "Report");
  EXPECT_EQ(sent[1].subject, "Report");
}

TEST(TaskReminders, FailedMessagesAreNotRepeatedBeforeTheirTime) {
  EngineRig rig;
  rig.host.task = true;
  rig.host.task_reminder = true;
  rig.clock->Set(At(10, 0, 1));
  rig.outlook->faults->FailOn("Mail.Send");
  auto p = rig.Make();
  TTaskEvent& r = AddRecord(*p, "Report", kToday, At(10, 0));
  p->TaskReminders();
  EXPECT_TRUE(r.Notified);
  EXPECT_EQ(r.NextReminder, At(10, 0, 1) + 1.0);
  p->TaskReminders();
  EXPECT_EQ(rig.outlook->faults->CountOf("Application.CreateItem"), 2);
}

TEST(TaskReminders, CompletingATaskStopsItsReminders) {
  EngineRig rig;
  rig.host.task_reminder = true;
  rig.host.remind_period = 0;
  rig.clock->Set(At(9, 0));
  auto t = Task(rig, "Report", kNoDate, kToday - 1.0);
  auto p = rig.Make();
  p->CheckTasks();
  p->TaskReminders();
  EXPECT_EQ(rig.outlook->Sent().size(), 1u);
  t->complete = true;
  rig.clock->Set(At(11, 0));
  p->CheckTasks();
  p->TaskReminders();
  EXPECT_EQ(rig.outlook->Sent().size(), 1u);
  EXPECT_EQ(p->TaskList.Count(), 1);
  rig.clock->Set(kToday + 1.0 + kMs);  // two days after the due day
  p->TaskReminders();
  EXPECT_EQ(p->TaskList.Count(), 0);
}

TEST(TaskReminders, CleanUpTwoDaysAfterTheDueDay) {
  struct Case {
    const char* name;
    bool reminder_switch, complete;
    TDateTime now;
    int met_in_sweep, sweep;  // the record's sweep, and the one under way
    bool kept;
  };
  const TDateTime due = kToday - 2.0;
  const Case cases[] = {
      {"exactly two days after", false, false, kToday, 1, 3, true},
      {"a moment later, reminders off", false, false, kToday + kMs, 1, 3, false},
      {"a moment later, reminders off, met by the last sweep", false, false, kToday + kMs, 2, 3,
       true},
      {"a moment later, reminders off, loaded before any sweep", false, false, kToday + kMs, 0, 1,
       true},
      {"a moment later, reminders on", true, false, kToday + kMs, 1, 3, true},
      {"a moment later, reminders on, complete", true, true, kToday + kMs, 2, 3, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.host.task_reminder = c.reminder_switch;
    rig.clock->Set(c.now);
    auto p = rig.Make();
    TTaskEvent& r = AddRecord(*p, "T", due, c.now + 1.0);
    r.Complete = c.complete;
    r.Sweep = c.met_in_sweep;
    p->TaskSweep = c.sweep;
    p->TaskReminders();
    EXPECT_EQ(p->TaskList.Count(), c.kept ? 1 : 0);
  }
}

}  // namespace
}  // namespace ravenox::engine
