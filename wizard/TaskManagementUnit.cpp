#include "wizard/TaskManagementUnit.h"

namespace ravenox::wizard {
namespace {

constexpr int kDaily = 2;

}  // namespace

TTaskManagement::TTaskManagement(TBaseInstaller& installer) : TGenericFrame(installer) {
  acNext->setText("&Done");
  Label1 = AddLabel("Select the options you wish for task management.", 16, 16);
  TaskReminderNotify = AddOptionBox(48);
  Label2 = AddLabel(
      "I wish to be notified via my cell phone when a task remind occurs. That is if a task has a "
      "reminder setting notify me at the same time outlook would notify me at my computer.",
      56, 48 + 4, 313);
  TaskPreReminder = AddOptionBox(104);
  Label3 = AddLabel(
      "I wish to be notified via my cell phone one day prior to my task become due or be notified "
      "once per day of all tasks that start date has past and has not been completed.",
      56, 104 + 4, 313);
  TaskPastReminder = AddOptionBox(160);
  connect(TaskPastReminder, &QCheckBox::toggled, this, &TTaskManagement::TaskPastReminderClick);
  Label4 = AddLabel(
      "I wish to be reminded per the interval selected below of my tasks that due date has past "
      "and has not been completed.",
      56, 164, 313, 33);
  Label5 = AddLabel("Reminder Period:", 96, 208);
  Label5->setEnabled(false);
  cboReminderPeriod = new QComboBox(this);
  cboReminderPeriod->setGeometry(184, 204, 145, 21);
  cboReminderPeriod->addItems({"Every Hour", "Twice Per Day", "Daily", "Every Week"});
  cboReminderPeriod->setCurrentIndex(-1);
  cboReminderPeriod->setEnabled(false);
  KeepBefore(Label5, cboReminderPeriod);
  Loaded();
}

void TTaskManagement::TaskPastReminderClick() {
  const bool on = TaskPastReminder->isChecked();
  Label5->setEnabled(on);
  cboReminderPeriod->setEnabled(on);
  // Ticking the box always starts from Daily.
  if (on) cboReminderPeriod->setCurrentIndex(kDaily);
}

void TTaskManagement::PageShown() {
  TGenericFrame::PageShown();
  TaskReminderNotify->setChecked(Settings().TaskNotify());
  TaskPreReminder->setChecked(Settings().TaskPreNotify());
  TaskPastReminder->setChecked(Settings().TaskReminder());
  // The stored period wins over the Daily that ticking the box selected.
  const int32_t period = Settings().TaskRemindPeriod();
  cboReminderPeriod->setCurrentIndex(period >= 0 && period < cboReminderPeriod->count() ? period
                                                                                        : -1);
}

void TTaskManagement::DoNext() {
  using settings::NotifySwitch;
  Settings().SetSwitch(NotifySwitch::kTaskNotify, TaskReminderNotify->isChecked());
  Settings().SetSwitch(NotifySwitch::kTaskPreNotify, TaskPreReminder->isChecked());
  Settings().SetSwitch(NotifySwitch::kTaskReminder, TaskPastReminder->isChecked());
  // Stored whether the list is enabled or not.
  Settings().SetTaskRemindPeriod(cboReminderPeriod->currentIndex());
  TGenericFrame::DoNext();
}

}  // namespace ravenox::wizard
