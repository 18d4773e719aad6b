// The page "Your calendar and mail" (the local store only): where the calendars, the task lists
// and the inbox are, and how texts go out, with a test sent from the page.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "wizard/BaseFrame.h"
#include "wizard/WizardHost.h"

namespace ravenox::wizard {

class TLocalStorePage final : public TGenericFrame {
  Q_OBJECT

 public:
  explicit TLocalStorePage(TBaseInstaller& installer);
  QLineEdit *Calendars, *Tasks, *Inbox;
  QPushButton *BrowseCalendars, *BrowseTasks, *BrowseInbox;
  QComboBox* Found;
  QRadioButton *rbAccount, *rbSendmail;
  QLineEdit *Server, *Port, *User, *Password, *Sendmail;
  QPushButton* SendTest;
  QLabel* TestResult;
  void PageShown() override;
  void DoNext() override;

 private:
  TStoreFields Fields() const;
  void ShowWay();
  void UseFound(int index);
  void SendTestClick();
  TStoreSetup* Setup() const;
  std::vector<TStoreSetup::Found> found_;
};

}  // namespace ravenox::wizard
