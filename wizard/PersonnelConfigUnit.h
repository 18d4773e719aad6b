// The number and times page: the cell number and the user's day.
#pragma once

#include "wizard/BaseFrame.h"
#include "wizard/WizardControls.h"

namespace ravenox::wizard {

class TPersonnelConfig final : public TGenericFrame {
  Q_OBJECT

 public:
  explicit TPersonnelConfig(TBaseInstaller& installer);
  QLabel *Label1, *Label2, *Label3, *Label4;
  TCellNumberEdit* CellNumber;
  TDateTimePicker* EarlyTime;
  TDateTimePicker* LateTime;
  void CellNumberChange();
  void CellNumberExit();
  void PageShown() override;
  void DoNext() override;
};

}  // namespace ravenox::wizard
