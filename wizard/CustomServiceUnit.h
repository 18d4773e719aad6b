// The custom address page: the whole address of any device that takes e-mail, and the user's day.
#pragma once

#include "wizard/BaseFrame.h"
#include "wizard/WizardControls.h"

namespace ravenox::wizard {

class TCustomService final : public TGenericFrame {
  Q_OBJECT

 public:
  explicit TCustomService(TBaseInstaller& installer);
  QLabel *Label1, *Label2, *Label3, *Label4, *Label5;
  QLineEdit* CustomEmail;
  TDateTimePicker* EarlyTime;
  TDateTimePicker* LateTime;
  void CustomEmailChange();
  void PageShown() override;
  void DoNext() override;
};

}  // namespace ravenox::wizard
