// The page "Your calendar and mail" (the local store only): where the calendars, the task lists
// and the inbox are (files and folders, and the desktop's own calendars ticked in a list), and how
// texts go out, with a test sent from the page.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
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
  // The desktop's calendars and task lists, ticked where they are read.
  QListWidget* Desktop;
  QRadioButton *rbAccount, *rbSendmail;
  QLineEdit *Server, *Port, *User, *Password, *Sendmail;
  QPushButton* SendTest;
  QLabel* TestResult;
  void PageShown() override;
  void DoNext() override;
  // A list of sources with one picked by Browse... added: a path in it that is not there (typed
  // wrong) gives way to the one picked.
  static QString WithPicked(const QString& sources, const QString& picked);

 private:
  TStoreFields Fields() const;
  void ShowWay();
  void UseFound(int index);
  void SendTestClick();
  TStoreSetup* Setup() const;
  std::vector<TStoreSetup::Found> found_;
  std::vector<TStoreSetup::DesktopSource> desktop_;
};

}  // namespace ravenox::wizard
