#include "wizard/CustomServiceUnit.h"

namespace ravenox::wizard {
namespace {

constexpr int kCustomPageWidth = 446;
constexpr int kCustomPanel1Left = 188;

}  // namespace

TCustomService::TCustomService(TBaseInstaller& installer)
    : TGenericFrame(installer, kCustomPageWidth) {
  Panel1->move(kCustomPanel1Left, Panel1->y());
  Label1 = AddLabel(
      "Ravenox supports any telecommucation device with the ability to display text and has a "
      "method to send e-mail to the device.",
      16, 16, 377, 41);
  Label2 = AddLabel("Enter the full e-mail address for your device.", 16, 80);
  CustomEmail = new QLineEdit(this);
  CustomEmail->setGeometry(16, 96, 401, 21);
  connect(CustomEmail, &QLineEdit::textChanged, this, &TCustomService::CustomEmailChange);
  Label5 = AddLabel("Enter the times you wish to be notified via Ravenox.", 16, 152);
  Label3 = AddLabel("Eariliest time of notification:", 88, 192);
  EarlyTime = new TDateTimePicker(37337.2916666667, this);
  EarlyTime->setGeometry(232, 188, 89, 21);
  Label4 = AddLabel("Latest time of notification:", 88, 224);
  LateTime = new TDateTimePicker(37337.8333333333, this);
  LateTime->setGeometry(232, 220, 89, 21);
  KeepBefore(Label3, EarlyTime);
  KeepBefore(Label4, LateTime);
  NextButton->setEnabled(false);
  Loaded();
}

void TCustomService::CustomEmailChange() {
  NextButton->setEnabled(CustomEmail->text().contains('@'));
}

void TCustomService::PageShown() {
  TGenericFrame::PageShown();
  EarlyTime->SetTime(Settings().EarlyTime());
  LateTime->SetTime(Settings().LateTime());
  const QString stored = QString::fromStdString(Settings().CustomEmail());
  CustomEmail->setText(stored);
  CustomEmailChange();          // also when the text was already the stored one
  FocusFirstInputUnlessNext();  // Next may have had the keyboard before the address greyed it
}

void TCustomService::DoNext() {
  // What was typed, as typed: Next without "@" is the user's own choice.
  Settings().SetCustomEmail(CustomEmail->text().toStdString());
  Settings().SetEarlyTime(EarlyTime->DateTime());
  Settings().SetLateTime(LateTime->DateTime());
  TGenericFrame::DoNext();
}

}  // namespace ravenox::wizard
