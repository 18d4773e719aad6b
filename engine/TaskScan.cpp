// The task scan and the task reminders.
#include <cmath>

#include "base/Formats.h"
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {
namespace {

constexpr int kTaskBudget = 120;
constexpr double kTaskLookAhead = 1.0;
constexpr double kCleanUpDelay = 2.0;

// The due date as a whole day: a little past it, rounded to the nearest day (ties to even).
TDateTime DueDayOf(TDateTime due) {
  return std::nearbyint(due.Value() + 0.1);
}

std::string TaskKey(const std::string& subject, TDateTime due_day) {
  return RecordText(subject + ":" + FormatShortDate(due_day));
}

}  // namespace

double TaskRemindPeriodDays(int32_t setting, bool& valid) {
  valid = true;
  switch (setting) {
    case 0:
      return 1.0 / 24.0;
    case 1:
      return 0.5;
    case 2:
      return 1.0;
    case 3:
      return 7.0;
    default:
      valid = false;
      return 1.0;
  }
}

void TOutlookProcessor::GetTaskFolder() {
  DebugLog("Getting Task Folder");
  auto folder = outlook_->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderTasks);
  if (folder != nullptr) TaskFolder = std::move(folder);
  DebugLog("Got Task Folder");
}

void TOutlookProcessor::CheckTasks() {
  int examined = 0;
  if (TaskCursor == 0) TaskCursor = 1;
  const TDateTime today = DateOf(env_.clock->Now());
  GetTaskFolder();
  if (TaskFolder == nullptr) throw std::runtime_error("No task folder");
  host_.SetStatusText("Checking for New Tasks..." + std::to_string(TaskCursor));
  CountForSweep(*TaskFolder, "Tasks", task_problem_, task_sweep_whole_);

  while (TaskFolder->Items()->Count() >= TaskCursor && examined < kTaskBudget) {
    if (Terminated()) return;
    if (KeyboardPressed()) break;
    const auto item = TaskFolder->Items()->Item(TaskCursor);
    ++examined;
    ++TaskCursor;
    if (item == nullptr) continue;
    const auto task = outlook::As<outlook::TaskItem>(item);
    env_.debug_output->Write("Check For : " + task->Subject());

    TDateTime start = 0.0, due = 0.0, reminder = 0.0;
    if (task->IsRecurring()) {
      // An instance that lies wholly before today is moved on to the next one, and so on.
      bool skip = (task->StartDate() < today || task->StartDate() == TDateTime(kNoDate)) &&
                  task->DueDate() < today;
      while (skip) {
        skip = task->SkipRecurrence() && task->StartDate() < today && task->DueDate() < today;
        start = task->StartDate();
        due = task->DueDate();
        if (task->ReminderSet()) reminder = task->ReminderTime();
      }
      start = task->StartDate();
      due = task->DueDate();
    } else {
      start = task->StartDate();
      due = task->DueDate();
      if (task->ReminderSet()) reminder = task->ReminderTime();
    }

    if (task->Complete()) {
      // Complete tasks are never taken, but a record made while the task was open must learn it,
      // or it would be reminded of forever.
      if (TTaskEvent* existing = TaskList.Lookup(TaskKey(task->Subject(), DueDayOf(due))))
        existing->Complete = true;
      continue;
    }
    const TDateTime now = env_.clock->Now();
    if ((now > start && now > due) || (now + kTaskLookAhead < start && now + kTaskLookAhead < due))
      continue;

    auto record = std::make_unique<TTaskEvent>();
    record->StartDate = start;
    record->DueDay = DueDayOf(due);
    record->NextReminder = reminder;
    record->PreNotifyDay = record->DueDay - 1.0;
    // The clean-up counts from the due day; left at 0 the record of a complete task would be
    // removed at once and made again by the next scan, its messages repeating.
    record->EventDate = record->DueDay;
    record->Text = TaskKey(task->Subject(), record->DueDay);
    record->Sweep = TaskSweep;
    env_.debug_output->Write("Find Task :" + record->Text);
    if (TTaskEvent* existing = TaskList.Lookup(record->Text)) {
      env_.debug_output->Write("Repeat");
      existing->Complete = task->Complete();
      existing->Sweep = TaskSweep;
    } else {
      env_.debug_output->Write("Adding Task");
      TaskList.Add(std::move(record));
    }
  }

  try {
    WriteIfChanged("Test-Task.NST", KeyLines(TaskList),
                   /*durable=*/false);
  } catch (...) {
    // A view for people; nothing depends on it.
  }
  if (TaskFolder->Items()->Count() < TaskCursor) {
    TaskCursor = 1;
    EndSweep(TaskSweep, task_sweep_whole_);
  }
}

void TOutlookProcessor::TaskReminders() {
  for (int i = TaskList.Count() - 1; i >= 0; --i) {
    // What the previous task's messages left (also one held back after another went out).
    SaveSent();
    if (Terminated()) break;
    TTaskEvent& r = TaskList[i];
    TDateTime now = env_.clock->Now();

    // A completed task gets no more messages; its record waits for the clean-up.
    if (host_.TaskNotify() && !r.Notified && !r.Complete && r.NextReminder != TDateTime(0.0) &&
        r.NextReminder <= now) {
      if (!NotifyTask(r, "task") && held_back_) continue;  // tried again at the next away pass
      r.Notified = true;
      r.LastNotified = now;
    }
    now = env_.clock->Now();
    if (host_.TaskPreNotify() && !r.PreNotified && !r.Complete && r.PreNotifyDay <= now &&
        now < r.DueDay) {
      if (!NotifyTask(r, "pre-notification") && held_back_) continue;
      r.PreNotified = true;
      r.LastNotified = now;
    }
    now = env_.clock->Now();
    if (host_.TaskReminder() && !r.Complete && r.DueDay <= now) {
      bool valid = true;
      const double period = TaskRemindPeriodDays(host_.TaskRemindPeriod(), valid);
      if (!valid) host_.SetTaskRemindPeriod(2);
      if (r.NextReminder < now) {
        if (!NotifyTask(r, "past due") && held_back_) continue;
        r.NextReminder = env_.clock->Now() + period;
      }
    }
    SaveSent();
    now = env_.clock->Now();
    // An open task's record stays while the scan still meets the task: made again, it would come
    // back with its flags cleared and its messages would go out again.
    const bool unseen = r.Sweep < TaskSweep - 1;
    if (now - kCleanUpDelay > r.EventDate && (r.Complete || (!host_.TaskReminder() && unseen))) {
      try {
        TaskList.Delete(i);
      } catch (...) {
      }
    }
  }
  SaveTasks();
}

}  // namespace ravenox::engine
