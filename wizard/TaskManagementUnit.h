// The tasks page, the last one: its Next ends the run.
#pragma once

#include <QCheckBox>
#include <QComboBox>

#include "wizard/BaseFrame.h"

namespace ravenox::wizard {

class TTaskManagement final : public TGenericFrame {
  Q_OBJECT

 public:
  explicit TTaskManagement(TBaseInstaller& installer);
  QLabel *Label1, *Label2, *Label3, *Label4, *Label5;
  QCheckBox* TaskReminderNotify;
  QCheckBox* TaskPreReminder;
  QCheckBox* TaskPastReminder;
  QComboBox* cboReminderPeriod;
  void TaskPastReminderClick();
  void PageShown() override;
  void DoNext() override;
};

}  // namespace ravenox::wizard
