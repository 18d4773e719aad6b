#include "wizard/PersonnelConfigUnit.h"

namespace ravenox::wizard {

TPersonnelConfig::TPersonnelConfig(TBaseInstaller& installer) : TGenericFrame(installer) {
  Label1 = AddLabel("Enter configuration information below.", 32, 72);
  Label2 = AddLabel("Cell Phone Number:", 88, 120);
  CellNumber = new TCellNumberEdit(this);
  CellNumber->setGeometry(200, 116, 109, 21);
  connect(CellNumber, &QLineEdit::textChanged, this, &TPersonnelConfig::CellNumberChange);
  connect(CellNumber, &TCellNumberEdit::Exit, this, &TPersonnelConfig::CellNumberExit);
  Label3 = AddLabel("Eariliest time of notification:", 88, 176);
  EarlyTime = new TDateTimePicker(37337.2916666667, this);
  EarlyTime->setGeometry(232, 172, 89, 21);
  Label4 = AddLabel("Latest time of notification:", 88, 208);
  LateTime = new TDateTimePicker(37337.8333333333, this);
  LateTime->setGeometry(232, 204, 89, 21);
  KeepBefore(Label2, CellNumber);
  KeepBefore(Label3, EarlyTime);
  KeepBefore(Label4, LateTime);
  NextButton->setEnabled(false);
  Loaded();
}

void TPersonnelConfig::CellNumberChange() {
  NextButton->setEnabled(CellNumber->Value().size() == TCellNumberEdit::kPlaces);
}

void TPersonnelConfig::CellNumberExit() {
  CellNumberChange();
}

void TPersonnelConfig::PageShown() {
  TGenericFrame::PageShown();
  CellNumber->setFocus();
  CellNumber->SetValue(Settings().Pin());
  CellNumberChange();
  EarlyTime->SetTime(Settings().EarlyTime());
  LateTime->SetTime(Settings().LateTime());
}

void TPersonnelConfig::DoNext() {
  const std::string number = CellNumber->Value();
  if (number.size() != TCellNumberEdit::kPlaces) {
    CellNumber->setFocus();  // the Enter key runs Next even while the button is greyed
    return;
  }
  Settings().SetPin(number);
  Settings().SetEarlyTime(EarlyTime->DateTime());
  Settings().SetLateTime(LateTime->DateTime());
  TGenericFrame::DoNext();
}

}  // namespace ravenox::wizard
