// The wizard's tests drive it under Qt's offscreen platform, its parent a stand-in main window
// that records what the wizard posts to it.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <cmath>
#include <fstream>

#include "EngineFakes.h"
#include "SmtpSink.h"
#include "settings/Carriers.h"
#include "shell/StoreSetup.h"
#include "wizard/CinglarServiceSelectUnit.h"
#include "wizard/CustomServiceUnit.h"
#include "wizard/FrameAgentImage.h"
#include "wizard/FrameAgentInitial.h"
#include "wizard/FrameServiceProvider.h"
#include "wizard/InstallerMain.h"
#include "wizard/LocalStoreUnit.h"
#include "wizard/MeetingNotificationUnit.h"
#include "wizard/NewAgentInstallerObj.h"
#include "wizard/PersonnelConfigUnit.h"
#include "wizard/TaskManagementUnit.h"

namespace ravenox::wizard::rig {

using settings::NotifySwitch;

inline void App() {
  static int argc = 1;
  static char name[] = "wizard-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto* a = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return a;
  }();
  (void)app;
}

inline void Settle() {
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
  }
}

struct Boxes final : TWizardDialogs {
  void Error(QWidget*, const QString& text) override { shown.push_back("error: " + text); }
  bool Warning(QWidget*, const QString& caption, const QString& text) override {
    shown.push_back(caption + ": " + text);
    return answer;
  }
  QStringList shown;
  bool answer = false;
};

const QString kQuestion = "Warning: Are you sure you want to exit the configuration Wizard?";

// The main window as the wizard sees it: a parent that receives the reload and save messages.
class Parent final : public QWidget {
 public:
  bool event(QEvent* e) override {
    if (e->type() == WM_RELOAD_SETTINGS || e->type() == WM_SAVE_SETTINGS) {
      const bool wizard_shown = installer != nullptr && installer->MainForm() != nullptr &&
                                installer->MainForm()->isVisible();
      posted.push_back(QString(e->type() == WM_SAVE_SETTINGS ? "save" : "reload") +
                       (wizard_shown ? " (wizard shown)" : ""));
      return true;
    }
    return QWidget::event(e);
  }
  TBaseInstaller* installer = nullptr;
  QStringList posted;
};

// A wizard with the settings of a first start.
struct Rig {
  Rig() {
    settings.SetService(4);
    settings.SetEarlyTime(7.0 / 24);
    settings.SetLateTime(19.0 / 24);
    settings.SetTaskRemindPeriod(-1);
    parent.installer = &installer;
  }
  TMainForm& Open() {
    context.settings = &settings;
    context.dialogs = &boxes;
    context.help = [this](int help_context) { help.push_back(help_context); };
    form = new TMainForm(&parent, installer, context);
    installer.SetMainForm(form);
    form->activateWindow();
    Settle();
    return *form;
  }
  TGenericFrame* Page() const { return installer.CurrentPage; }
  // A click where a person clicks: on a radio button or a check box, its mark.
  void Click(QAbstractButton* b) {
    const bool mark = qobject_cast<QRadioButton*>(b) != nullptr || qobject_cast<QCheckBox*>(b);
    QTest::mouseClick(b, Qt::LeftButton, {}, mark ? QPoint(8, b->height() / 2) : QPoint());
    Settle();
  }
  void Next() { Click(Page()->NextButton); }
  void Back() { Click(Page()->BackButton); }
  void Cancel() { Click(Page()->CancelButton); }
  void Key(int key) {
    QTest::keyClick(QApplication::focusWidget() != nullptr ? QApplication::focusWidget()
                                                           : static_cast<QWidget*>(form),
                    static_cast<Qt::Key>(key));
    Settle();
  }
  void Carrier(int index) { Click(installer.ProviderPage->rdoServiceProvider->Button(index)); }
  // Types into the number field from its first place.
  void Number(const QString& keys, int from_place = 0) {
    TCellNumberEdit* edit = installer.PersonalPage->CellNumber;
    edit->setFocus();
    edit->SetValue("");
    edit->setCursorPosition(from_place < 3   ? 1 + from_place
                            : from_place < 6 ? 2 + from_place
                                             : 3 + from_place);
    QTest::keyClicks(edit, keys);
    Settle();
  }
  // Walks from the welcome page to the number page with carrier `carrier` (not Cingular, not
  // Other).
  void ToNumberPage(int carrier = 5) {
    Next();
    Carrier(carrier);
    Next();
  }

  struct AppFirst {
    AppFirst() { App(); }
  } app_first;
  // Before the windows: it outlives them, as the program's own does.
  TNewAgentInstaller installer;
  settings::TSettings settings;
  Boxes boxes;
  TWizardContext context;
  std::vector<int> help;
  Parent parent;
  TMainForm* form = nullptr;
};

}  // namespace ravenox::wizard::rig
