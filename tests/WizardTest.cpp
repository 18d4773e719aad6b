// The configuration wizard under Qt's offscreen platform, driven with clicks and keys, its parent a
// stand-in main window that records what the wizard posts to it.
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

namespace ravenox::wizard {
namespace {

using shell::NotifySwitch;

void App() {
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

void Settle() {
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
  shell::TSettings settings;
  Boxes boxes;
  TWizardContext context;
  std::vector<int> help;
  Parent parent;
  TMainForm* form = nullptr;
};

TEST(Wizard, NextAndBackFollowTheCarrierNowSelected) {
  Rig rig;
  rig.Open();
  auto& in = rig.installer;
  struct Step {
    const char* what;
    std::function<void()> act;
    TGenericFrame* expected;
  };
  const std::vector<Step> steps = {
      {"start", [] {}, in.WelcomePage},
      {"welcome next", [&] { rig.Next(); }, in.ProviderPage},
      {"welcome back", [&] { rig.Back(); }, in.WelcomePage},
      {"to carrier", [&] { rig.Next(); }, in.ProviderPage},
      {"cingular", [&] { rig.Carrier(1), rig.Next(); }, in.RegionPage},
      {"region back", [&] { rig.Back(); }, in.ProviderPage},
      {"cingular again", [&] { rig.Next(); }, in.RegionPage},
      {"a region", [&] { rig.Click(in.RegionPage->rdgrpCinglar->Button(2)), rig.Next(); },
       in.PersonalPage},
      {"number back (cingular)", [&] { rig.Back(); }, in.RegionPage},
      {"region back again", [&] { rig.Back(); }, in.ProviderPage},
      {"other", [&] { rig.Carrier(8), rig.Next(); }, in.CustomPage},
      {"custom back", [&] { rig.Back(); }, in.ProviderPage},
      {"other again", [&] { rig.Next(); }, in.CustomPage},
      {"custom next", [&] { in.CustomPage->CustomEmail->setText("a@b"), rig.Next(); },
       in.MeetingPage},
      {"meetings back (other)", [&] { rig.Back(); }, in.CustomPage},
      {"custom back to carrier", [&] { rig.Back(); }, in.ProviderPage},
      {"qwest", [&] { rig.Carrier(7), rig.Next(); }, in.PersonalPage},
      {"number back (qwest)", [&] { rig.Back(); }, in.ProviderPage},
      {"at&t", [&] { rig.Carrier(0), rig.Next(); }, in.PersonalPage},
      {"number next", [&] { rig.Number("5551234567"), rig.Next(); }, in.MeetingPage},
      {"meetings back (at&t)", [&] { rig.Back(); }, in.PersonalPage},
      {"number next again", [&] { rig.Number("5551234567"), rig.Next(); }, in.MeetingPage},
      {"meetings next", [&] { rig.Next(); }, in.TaskPage},
      {"tasks back", [&] { rig.Back(); }, in.MeetingPage},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    s.act();
    ASSERT_EQ(rig.Page(), s.expected);
    EXPECT_EQ(s.expected->parentWidget(), rig.form->MainPanel);
    EXPECT_TRUE(s.expected->isVisible());
  }
  EXPECT_TRUE(rig.boxes.shown.isEmpty());
  EXPECT_TRUE(rig.parent.posted.isEmpty());
  EXPECT_FALSE(in.WelcomePage->BackButton->isVisible());
  EXPECT_EQ(in.TaskPage->NextButton->text(), "&Done");
}

TEST(Wizard, CancelAndTheCloseBoxAskFirst) {
  Rig rig;
  TMainForm& form = rig.Open();
  rig.ToNumberPage();
  rig.Number("5551234567");
  rig.Next();  // stores the number
  // No keeps everything and posts nothing.
  rig.Cancel();
  EXPECT_EQ(rig.boxes.shown, QStringList{kQuestion});
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(rig.Page(), rig.installer.MeetingPage);
  form.close();  // the close box
  EXPECT_EQ(rig.boxes.shown, (QStringList{kQuestion, kQuestion}));
  EXPECT_TRUE(form.isVisible());
  Settle();
  EXPECT_TRUE(rig.parent.posted.isEmpty());
  // Yes closes (hidden, not destroyed) and asks the main window, once, to read the settings back.
  rig.boxes.answer = true;
  form.close();
  Settle();
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(form.Timer1.isActive());
  EXPECT_EQ(rig.parent.posted, QStringList{"reload"});
  EXPECT_EQ(rig.settings.Pin(), "5551234567");  // undone by the main window's reload, not here

  // A second run starts at the welcome page with the same pages, and asks again.
  const TGenericFrame* welcome = rig.installer.WelcomePage;
  TMainForm& second = rig.Open();
  EXPECT_EQ(rig.Page(), welcome);
  EXPECT_EQ(welcome->parentWidget(), second.MainPanel);
  EXPECT_EQ(rig.installer.ImagePage->parentWidget(), second.ImagePanel);
  rig.boxes.shown.clear();
  rig.Key(Qt::Key_Escape);
  EXPECT_EQ(rig.boxes.shown, QStringList{kQuestion});
  EXPECT_FALSE(second.isVisible());
}

TEST(Wizard, TheEndOfARunClosesWithoutAQuestionThenSaves) {
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    Rig rig;
    rig.Open();
    rig.ToNumberPage();
    rig.Number("5551234567");
    rig.Next();
    rig.Next();
    ASSERT_EQ(rig.Page(), rig.installer.TaskPage);
    if (run == 0) {
      rig.Next();
    } else {
      rig.Key(Qt::Key_Return);
    }
    EXPECT_TRUE(rig.installer.Finished);
    EXPECT_TRUE(rig.boxes.shown.isEmpty());
    // The window was closed before the save reached the main window.
    EXPECT_EQ(rig.parent.posted, QStringList{"save"});
    EXPECT_FALSE(rig.form->isVisible());
    EXPECT_EQ(rig.settings.Pin(), "5551234567");
    EXPECT_EQ(rig.settings.Service(), 5);
    // The next run asks again on Cancel.
    rig.Open();
    EXPECT_FALSE(rig.installer.Finished);
    rig.Cancel();
    EXPECT_EQ(rig.boxes.shown, QStringList{kQuestion});
  }
}

TEST(Wizard, TheEnterKeyFollowsTheFocus) {
  Rig rig;
  rig.Open();
  auto& in = rig.installer;
  rig.Next();  // carrier page, Sprint PCS selected, the keyboard on Next
  EXPECT_EQ(QApplication::focusWidget(), in.ProviderPage->NextButton);
  // Elsewhere (a carrier entry): Next.
  in.ProviderPage->rdoServiceProvider->Button(4)->setFocus();
  rig.Key(Qt::Key_Return);
  ASSERT_EQ(rig.Page(), in.PersonalPage);
  // On a greyed Next: Next runs, and the page keeps the user there with the number focused.
  ASSERT_FALSE(in.PersonalPage->NextButton->isEnabled());
  in.PersonalPage->LateTime->setFocus();
  rig.Key(Qt::Key_Enter);
  EXPECT_EQ(rig.Page(), in.PersonalPage);
  EXPECT_EQ(QApplication::focusWidget(), in.PersonalPage->CellNumber);
  // On Back: back.
  in.PersonalPage->BackButton->setFocus();
  rig.Key(Qt::Key_Return);
  ASSERT_EQ(rig.Page(), in.ProviderPage);
  // On Cancel: the question.
  in.ProviderPage->CancelButton->setFocus();
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.boxes.shown, QStringList{kQuestion});
  EXPECT_EQ(rig.Page(), in.ProviderPage);
  // F1: the wizard's help, the page's own where the focus is in it.
  rig.Key(Qt::Key_F1);
  EXPECT_EQ(rig.help, std::vector<int>{kMainPanelHelpContext});
}

TEST(Wizard, TheNumberFieldReadsBackAsItsPlacesAreFilled) {
  struct Case {
    const char* keys;
    int from_place;
    const char* value;
  };
  const Case cases[] = {
      {"5551234567", 0, "5551234567"},
      {"555", 0, "555       "},
      {"1234567", 3, "1234567"},
      {"", 0, ""},
      {"55", 5, "55   "},
  };
  Rig rig;
  rig.Open();
  rig.ToNumberPage();
  TPersonnelConfig& page = *rig.installer.PersonalPage;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    rig.Number(c.keys, c.from_place);
    EXPECT_EQ(page.CellNumber->Value(), c.value);
    const bool ten = std::string(c.value).size() == 10;
    EXPECT_EQ(page.NextButton->isEnabled(), ten);
    rig.Key(Qt::Key_Return);
    if (!ten) {
      EXPECT_EQ(rig.Page(), &page);
      EXPECT_EQ(QApplication::focusWidget(), page.CellNumber);
      EXPECT_EQ(rig.settings.Pin(), "");
      continue;
    }
    ASSERT_EQ(rig.Page(), rig.installer.MeetingPage);
    EXPECT_EQ(rig.settings.Pin(), c.value);
    rig.Back();
    // Shown again, the page shows what was stored.
    EXPECT_EQ(page.CellNumber->Value(), c.value);
    rig.settings.SetPin("");
  }
  // Stored values of other shapes load into the places from the right, as they read back.
  for (const auto& [stored, shown] :
       std::vector<std::pair<std::string, std::string>>{{"(555) 123-4567", "5551234567"},
                                                        {"1234567", "1234567"},
                                                        {"555123456789", "5551234567"}}) {
    SCOPED_TRACE(stored);
    page.CellNumber->SetValue(stored);
    EXPECT_EQ(page.CellNumber->Value(), shown);
  }
}

TEST(Wizard, RegionAndCustomAddressPages) {
  Rig rig;
  rig.Open();
  auto& in = rig.installer;
  rig.settings.SetCustomAddr("old.example");
  rig.Next();
  rig.Carrier(1);
  rig.Next();
  TCinglarServiceSelect& region = *in.RegionPage;
  ASSERT_EQ(rig.Page(), &region);
  ASSERT_EQ(region.rdgrpCinglar->Count(), 6);
  EXPECT_EQ(region.rdgrpCinglar->Button(2)->text(), "Houston, Texas");
  EXPECT_EQ(region.rdgrpCinglar->ItemIndex(), -1);
  EXPECT_FALSE(region.NextButton->isEnabled());
  EXPECT_EQ(QApplication::focusWidget(), region.rdgrpCinglar->Button(0));
  rig.Key(Qt::Key_Return);  // no region: stays, stores nothing
  EXPECT_EQ(rig.Page(), &region);
  EXPECT_EQ(rig.settings.CustomAddr(), "old.example");
  rig.Click(region.rdgrpCinglar->Button(3));
  EXPECT_TRUE(region.NextButton->isEnabled());
  rig.Next();
  EXPECT_EQ(rig.settings.CustomAddr(), "mobile.mycingular.com");
  EXPECT_EQ(rig.settings.Service(), 1);
  rig.Back();  // the region page shows no selection again, and Enter still does nothing
  EXPECT_EQ(region.rdgrpCinglar->ItemIndex(), -1);
  EXPECT_FALSE(region.NextButton->isEnabled());
  EXPECT_EQ(QApplication::focusWidget(), region.rdgrpCinglar->Button(0));
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.Page(), &region);
  EXPECT_TRUE(rig.boxes.shown.empty()) << rig.boxes.shown.join("; ").toStdString();
  rig.Key(Qt::Key_Space);  // a region by keys
  EXPECT_EQ(region.rdgrpCinglar->ItemIndex(), 0);
  EXPECT_TRUE(region.NextButton->isEnabled());

  // Other: Next is a hint only; Enter stores the address as typed.
  rig.Back();
  rig.Carrier(8);
  rig.Next();
  TCustomService& custom = *in.CustomPage;
  ASSERT_EQ(rig.Page(), &custom);
  EXPECT_FALSE(custom.NextButton->isEnabled());
  custom.CustomEmail->setFocus();
  QTest::keyClicks(custom.CustomEmail, "pager.example");
  EXPECT_FALSE(custom.NextButton->isEnabled());
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.Page(), in.MeetingPage);
  EXPECT_EQ(rig.settings.CustomEmail(), "pager.example");
  EXPECT_EQ(rig.settings.Service(), 8);
  rig.Back();
  QTest::keyClicks(custom.CustomEmail, "@x");
  EXPECT_TRUE(custom.NextButton->isEnabled());
  rig.Back();  // nothing stored
  EXPECT_EQ(rig.settings.CustomEmail(), "pager.example");
  // Shown again with Next greyed by the stored address: the keyboard is in the address, not on
  // Cancel, so Enter goes on.
  rig.Next();
  EXPECT_EQ(QApplication::focusWidget(), custom.CustomEmail);
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.Page(), in.MeetingPage);
  EXPECT_TRUE(rig.boxes.shown.empty()) << rig.boxes.shown.join("; ").toStdString();
}

// Captions take the largest face in which each column's widest fits; only what fits in none is
// cut, and then the whole caption is its tooltip.
TEST(Wizard, RadioCaptionsFitTheirColumns) {
  App();
  struct Case {
    const char* name;
    int columns, width;
    QStringList captions;
    bool smaller, tooltip;
  };
  const QString long_one = "All other states and All other cities in Texas, excluding Houston";
  const Case cases[] = {
      {"short captions keep the face", 2, 369, {"&AT&&T", "&Other"}, false, false},
      {"a long caption in a narrow box: two lines",
       1,
       361,
       {long_one, "Houston, Texas"},
       false,
       false},
      {"a caption no face fits", 1, 120, {"&Alabama, " + long_one}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget page;
    page.setFont(WizardFace());
    auto* group = new TRadioGroup("", c.columns, &page);
    group->setGeometry(0, 0, c.width, 200);
    for (const QString& caption : c.captions) group->Add(caption);
    page.show();
    for (int i = 0; i < group->Count(); ++i) {
      QRadioButton* b = group->Button(i);
      EXPECT_EQ(b->font().pixelSize() < WizardFace().pixelSize(), c.smaller);
      if (!c.tooltip) {
        EXPECT_LE(b->geometry().right(), group->contentsRect().right());
      }
      EXPECT_EQ(b->toolTip(),
                c.tooltip ? QString(c.captions[i]).remove(0, 1) : QString());  // no "&" mark
      // Broken only at a blank, nothing lost.
      EXPECT_EQ(QString(b->text()).replace('\n', ' '), c.captions[i]);
    }
  }
}

TEST(Wizard, CarrierPageLoadsTheStoredCarrier) {
  struct Case {
    int stored;
    int selected;
  };
  for (const auto& c : {Case{4, 4}, Case{0, 0}, Case{8, 8}, Case{9, 8}, Case{255, 8}}) {
    SCOPED_TRACE(c.stored);
    Rig rig;
    rig.settings.SetService(static_cast<uint8_t>(c.stored));
    rig.Open();
    rig.Next();
    TServiceProvider& page = *rig.installer.ProviderPage;
    ASSERT_EQ(page.rdoServiceProvider->Count(), 9);
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(page.rdoServiceProvider->Button(i)->text(), shell::CarrierCaptions[i]);
    }
    EXPECT_EQ(page.rdoServiceProvider->ItemIndex(), c.selected);
    EXPECT_TRUE(page.NextButton->isEnabled());
  }
}

TEST(Wizard, TasksPagePeriodFollowsThePastDueBox) {
  Rig rig;
  rig.settings.SetSwitch(NotifySwitch::kTaskReminder, true);
  rig.settings.SetTaskRemindPeriod(0);
  rig.Open();
  rig.ToNumberPage();
  rig.Number("5551234567");
  rig.Next();
  rig.Next();
  TTaskManagement& page = *rig.installer.TaskPage;
  ASSERT_EQ(rig.Page(), &page);
  // The stored period wins over the Daily that ticking selects.
  EXPECT_TRUE(page.TaskPastReminder->isChecked());
  EXPECT_EQ(page.cboReminderPeriod->currentText(), "Every Hour");
  EXPECT_TRUE(page.cboReminderPeriod->isEnabled());
  rig.Click(page.TaskPastReminder);  // untick: disabled, selection kept
  EXPECT_FALSE(page.cboReminderPeriod->isEnabled());
  EXPECT_FALSE(page.Label5->isEnabled());
  EXPECT_EQ(page.cboReminderPeriod->currentIndex(), 0);
  rig.Click(page.TaskPastReminder);  // tick: enabled, Daily
  EXPECT_TRUE(page.cboReminderPeriod->isEnabled());
  EXPECT_EQ(page.cboReminderPeriod->currentText(), "Daily");
  page.cboReminderPeriod->setCurrentIndex(3);
  rig.Click(page.TaskPastReminder);  // untick; the period is stored all the same
  rig.Click(page.TaskReminderNotify);
  rig.Next();
  EXPECT_EQ(rig.settings.TaskRemindPeriod(), 3);
  EXPECT_FALSE(rig.settings.TaskReminder());
  EXPECT_TRUE(rig.settings.TaskNotify());
  EXPECT_FALSE(rig.settings.TaskPreNotify());
  // In a second run, Enter in the period list ends the run as Done does.
  rig.form->show();
  Settle();
  rig.ToNumberPage();
  rig.Next();
  rig.Next();
  ASSERT_EQ(rig.Page(), &page);
  rig.Click(page.TaskPastReminder);
  page.cboReminderPeriod->setFocus();
  rig.parent.posted.clear();
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.parent.posted, QStringList{"save"});
  EXPECT_TRUE(rig.settings.TaskReminder());
}

TEST(Wizard, TimesKeepThePickersDateAndTheSettingsTimeOfDay) {
  Rig rig;
  rig.settings.SetEarlyTime(40000.0 + 6.0 / 24);  // a time of day on another date
  rig.Open();
  rig.ToNumberPage();
  TPersonnelConfig& page = *rig.installer.PersonalPage;
  EXPECT_EQ(page.EarlyTime->time(), QTime(6, 0));
  EXPECT_EQ(page.LateTime->time(), QTime(19, 0));
  page.EarlyTime->setTime(QTime(9, 30));  // as the user's edit
  rig.Number("5551234567");
  rig.Next();
  double day = 0.0;
  const double fraction = std::modf(rig.settings.EarlyTime().Value(), &day);
  EXPECT_EQ(day, 37337.0);
  EXPECT_NEAR(fraction, 0.3958333333, 1e-10);
  EXPECT_NEAR(rig.settings.LateTime().Value(), 37337 + 19.0 / 24, 1e-9);
}

TEST(Wizard, BackAndNextWithoutChangesKeepEverySetting) {
  for (const int carrier : {1, 5, 8}) {
    SCOPED_TRACE(carrier);
    Rig rig;
    shell::TSettings& s = rig.settings;
    s.SetService(static_cast<uint8_t>(carrier));
    s.SetPin("5559876543");
    s.SetCustomEmail("me@pager.example");
    s.SetCustomAddr("mobile.mycingular.com");
    s.SetEarlyTime(37337 + 6.5 / 24);
    s.SetLateTime(37337 + 21.25 / 24);
    s.SetTaskRemindPeriod(1);
    for (const auto w : {NotifySwitch::kMeetingNotify, NotifySwitch::kEveningNotify,
                         NotifySwitch::kTaskPreNotify, NotifySwitch::kTaskReminder}) {
      s.SetSwitch(w, true);
    }
    auto snapshot = [&s] {
      std::ostringstream out;
      out << +s.Service() << "|" << s.Pin() << "|" << s.CustomEmail() << "|" << s.CustomAddr()
          << "|" << s.EarlyTime().Value() << "|" << s.LateTime().Value() << "|"
          << s.TaskRemindPeriod();
      for (int i = 0; i < shell::kNotifySwitchCount; ++i) out << s.Switch(NotifySwitch(i));
      return out.str();
    };
    const std::string before = snapshot();
    rig.Open();
    auto& in = rig.installer;
    // Forward to the tasks page, back to the welcome page, and forward again, changing nothing
    // (the region page alone needs its choice made again).
    auto forward = [&] {
      while (rig.Page() != in.TaskPage) {
        if (rig.Page() == in.RegionPage) rig.Click(in.RegionPage->rdgrpCinglar->Button(0));
        rig.Next();
      }
    };
    forward();
    while (rig.Page() != in.WelcomePage) rig.Back();
    forward();
    rig.Next();
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(rig.parent.posted, QStringList{"save"});
  }
}

TEST(Wizard, StatusLineErrorsGoToABoxAndBlink) {
  Rig rig;
  TMainForm& form = rig.Open();
  EXPECT_EQ(form.Timer1.interval(), 1000);
  rig.installer.SetStatusText("Working on it");
  EXPECT_EQ(rig.installer.GetStatusText(), "Working on it");
  EXPECT_EQ(form.StatusBar->toolTip(), "Working on it");
  EXPECT_EQ(form.StatusBar->DrawnText(), "Working on it");
  rig.installer.SetStatusText("Oops *** ERROR Disk full");
  EXPECT_EQ(rig.installer.GetStatusText(), "");
  EXPECT_EQ(rig.boxes.shown, QStringList{"error: RROR Disk full"});
  rig.installer.SetStatusText("*** ERROR Disk full");
  EXPECT_EQ(rig.boxes.shown.back(), "error: Disk full");
  EXPECT_EQ(form.StatusBar->toolTip(), "");  // empty: no hint

  // An error text on the line itself, on a fake timer: red six times for half a second.
  form.Timer1.stop();
  form.StatusBar->SetPanelText("*** ERROR Disk full");
  form.StatusBar->repaint();
  EXPECT_EQ(form.StatusBar->DrawnText(), "Disk full");
  QString colours;
  for (int tick = 1; tick <= 16; ++tick) {
    form.Timer1Timer();
    colours += form.StatusBar->FontColor() == TMainForm::kErrorColor ? 'R' : '-';
  }
  EXPECT_EQ(colours, "R-R-R-R-R-R-----");
  EXPECT_EQ(form.BlinkCount, 14);
  EXPECT_EQ(form.Timer1.interval(), 500);
  // A normal text ends it.
  rig.installer.SetStatusText("Fine");
  EXPECT_EQ(form.BlinkCount, 1);

  // A long text is drawn up to its first sentence; the line keeps it whole.
  const QString sentence = "First part. ";
  const QString long_text = sentence + QString(160, 'x') + ".";
  rig.installer.SetStatusText(long_text);
  EXPECT_EQ(form.StatusBar->DrawnText(), sentence);
  form.StatusBar->repaint();
  EXPECT_EQ(rig.installer.GetStatusText(), long_text);
  EXPECT_EQ(form.StatusBar->DrawnText(), sentence);
}

TEST(Wizard, Placement) {
  const QSize window(612, 413);
  struct Case {
    const char* name;
    std::vector<QRect> monitors;
    QPoint at;
  };
  const Case cases[] = {
      {"one 1280 x 1024: the desktop's centre", {QRect(0, 0, 1280, 1024)}, QPoint(334, 305)},
      {"one 2560 x 1024: the left half's centre", {QRect(0, 0, 2560, 1024)}, QPoint(334, 306)},
      {"two: the first one's centre",
       {QRect(1920, 0, 1280, 1024), QRect(0, 0, 1920, 1080)},
       QPoint(1920 + 640 - 306, 512 - 206)},
      {"1740 x 1024: not wide", {QRect(0, 0, 1740, 1024)}, QPoint(564, 305)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WizardPlacement(c.monitors, window), c.at);
  }
}

TEST(Wizard, WelcomeTextNamesTheStore) {
  const QString local = WelcomeLines(TStoreKind::kLocalStore).join('\n');
  const QString outlook = WelcomeLines(TStoreKind::kOutlook).join('\n');
  EXPECT_TRUE(local.contains("your calendar, appointments, task and urgent e-mails."));
  EXPECT_FALSE(local.contains("Outlook"));
  EXPECT_TRUE(outlook.contains("Microsoft\nOutlook* calendar, appointments, task and urgent"));
  EXPECT_TRUE(outlook.endsWith(
      "\n\nMicrosoft Outlook is a registered trademark of the Microsoft Corporation."));
  for (const QString& text : {local, outlook}) {
    EXPECT_TRUE(text.contains("To continue with the configuration wizard click Next>."));
  }
  // The lines as they are where each fits, else a paragraph as one line for the memo to wrap.
  const QStringList lines{"ab", "cd", "", "", "ef", "gh"};
  const auto chars = [](const QString& line) { return static_cast<int>(line.size()); };
  EXPECT_EQ(FittedText(lines, chars, 2), "ab\ncd\n\n\nef\ngh");
  EXPECT_EQ(FittedText(lines, chars, 1), "ab cd\n\n\nef gh");
  // The memo never keeps the focus.
  Rig rig;
  rig.Open();
  TAgentInitialFrame& page = *rig.installer.WelcomePage;
  auto words = [](QString text) { return text.replace('\n', ' ').simplified(); };
  EXPECT_EQ(words(page.MessageMemo->toPlainText()), words(local));
  QTest::mouseClick(page.MessageMemo->viewport(), Qt::LeftButton);
  EXPECT_EQ(QApplication::focusWidget(), page.NextButton);
  // The side picture: drawn for the program, 142 x 387 in 24-bit colour, filling its panel.
  const QImage side = SidePicture();
  EXPECT_EQ(side.size(), QSize(142, 387));
  EXPECT_EQ(side.depth(), 24);
  EXPECT_NE(side.pixel(70, 370), side.pixel(70, 10));
  EXPECT_EQ(rig.installer.ImagePage->parentWidget(), rig.form->ImagePanel);
}

// The local store's profile as the page sees it, recorded.
struct FakeStore final : TStoreSetup {
  TStoreFields Load() override { return stored; }
  std::string Check(const TStoreFields&) override { return save_error; }
  std::vector<std::string> Unreadable(const TStoreFields&) override { return unreadable; }
  void Keep(const TStoreFields& f) override { saved.push_back(f); }
  std::string Commit() override { return {}; }
  void Discard() override {}
  std::string SendTest(const TStoreFields& f, const std::string& address) override {
    tested.push_back(f.server + " to " + address);
    return send_error;
  }
  std::vector<Found> Suggestions() override {
    return {{"Evolution", "/e/calendar.ics", false}, {"Evolution tasks", "/e/tasks.ics", true}};
  }
  TStoreFields stored;
  std::vector<TStoreFields> saved;  // what the page kept for the end of the run
  std::vector<std::string> tested, unreadable;
  std::string save_error, send_error;
};

// With the local store, "Your calendar and mail" comes before the meetings page, whichever page
// the address was given on; it shows the profile, adds what was found, sends a test, and saves
// only by Next (a save that fails keeps the page).
TEST(Wizard, TheLocalStorePageComesBeforeTheMeetings) {
  Rig rig;
  FakeStore store;
  store.stored.calendars = "/home/me/cal.ics";
  store.stored.inbox = "/home/me/Mail";
  store.stored.sendmail = "/usr/bin/msmtp;-t";
  rig.context.store_setup = &store;
  rig.Open();
  auto& in = rig.installer;
  ASSERT_NE(in.StorePage, nullptr);
  const std::vector<std::pair<const char*, std::function<TGenericFrame*()>>> steps = {
      {"other",
       [&] {
         rig.Next(), rig.Carrier(8), rig.Next();
         return in.CustomPage.data();
       }},
      {"custom next",
       [&] {
         in.CustomPage->CustomEmail->setText("phone@example.org");
         rig.Next();
         return in.StorePage.data();
       }},
      {"store back",
       [&] {
         rig.Back();
         return in.CustomPage.data();
       }},
      {"custom next again",
       [&] {
         rig.Next();
         return in.StorePage.data();
       }},
      {"store next",
       [&] {
         rig.Next();
         return in.MeetingPage.data();
       }},
      {"meetings back",
       [&] {
         rig.Back();
         return in.StorePage.data();
       }},
      {"store back to custom",
       [&] {
         rig.Back(), rig.Back();
         return in.ProviderPage.data();
       }},
      {"at&t",
       [&] {
         rig.Carrier(0), rig.Next();
         return in.PersonalPage.data();
       }},
      {"number next",
       [&] {
         rig.Number("5551234567"), rig.Next();
         return in.StorePage.data();
       }},
      {"store back (at&t)",
       [&] {
         rig.Back();
         return in.PersonalPage.data();
       }},
  };
  for (const auto& [what, act] : steps) {
    SCOPED_TRACE(what);
    TGenericFrame* expected = act();
    ASSERT_EQ(rig.Page(), expected);
  }
  rig.Next();
  TLocalStorePage& page = *in.StorePage;
  ASSERT_EQ(rig.Page(), &page);
  EXPECT_EQ(page.Calendars->text(), "/home/me/cal.ics");
  EXPECT_EQ(page.Sendmail->text(), "/usr/bin/msmtp;-t");
  EXPECT_TRUE(page.rbSendmail->isChecked());
  EXPECT_FALSE(page.Server->isEnabled());
  page.Found->activated(2);  // Evolution's task list
  page.Found->activated(1);  // Evolution's calendar
  EXPECT_EQ(page.Tasks->text(), "/e/tasks.ics");
  EXPECT_EQ(page.Calendars->text(), "/home/me/cal.ics;/e/calendar.ics");
  rig.Click(page.rbAccount);
  EXPECT_TRUE(page.Server->isEnabled());
  page.Server->setText("smtp.example.org");
  page.User->setText("me");
  page.Password->setText("secret");
  const std::size_t saves = store.saved.size();
  store.send_error = "Login denied";
  rig.Click(page.SendTest);
  EXPECT_EQ(page.TestResult->text(), "Not sent: Login denied");
  store.send_error.clear();
  rig.Click(page.SendTest);
  EXPECT_EQ(page.TestResult->text(), "Sent to 5551234567@mobile.att.net. Check your phone.");
  EXPECT_EQ(store.tested.back(), "smtp.example.org to 5551234567@mobile.att.net");
  EXPECT_EQ(store.saved.size(), saves);  // nothing stored by a test
  store.save_error = "Enter the server of your mail account.";
  const QString server = page.Server->text();
  page.Server->clear();
  rig.Next();
  EXPECT_EQ(rig.Page(), &page);
  EXPECT_EQ(rig.boxes.shown.back(), "error: Enter the server of your mail account.");
  EXPECT_EQ(QApplication::focusWidget(), page.Server);
  page.Server->setText(server);
  store.save_error.clear();
  // A source that cannot be read is named, and kept only when the user says so.
  store.unreadable = {"/home/me/gone.ics: No such file or directory"};
  rig.boxes.answer = false;
  rig.Next();
  EXPECT_EQ(rig.Page(), &page);
  EXPECT_EQ(rig.boxes.shown.back(),
            "Warning: This cannot be read now:\n\n/home/me/gone.ics: No such file or directory"
            "\n\nKeep it anyway? Ravenox reads what it can, and its status line says what it "
            "cannot.");
  EXPECT_EQ(store.saved.size(), saves);
  rig.boxes.answer = true;
  rig.Next();
  EXPECT_EQ(rig.Page(), in.MeetingPage);
  ASSERT_EQ(store.saved.size(), saves + 1);
  const TStoreFields& f = store.saved.back();
  EXPECT_TRUE(f.account);
  EXPECT_EQ(f.server, "smtp.example.org");
  EXPECT_EQ(f.port, 587);
  EXPECT_EQ(f.user, "me");
  EXPECT_EQ(f.password, "secret");
  EXPECT_EQ(f.calendars, "/home/me/cal.ics;/e/calendar.ics");
  EXPECT_EQ(f.tasks, "/e/tasks.ics");
}

TEST(Wizard, BrowseAddsToTheSourcesThatAreThere) {
  testing::TempDir dir;
  const QString there = QString::fromStdString((dir.path() / "a.ics").string());
  std::ofstream(dir.path() / "a.ics") << "";
  const QString gone = QString::fromStdString((dir.path() / "typo.ics").string());
  const QString picked = QString::fromStdString((dir.path() / "b.ics").string());
  EXPECT_EQ(TLocalStorePage::WithPicked(there + ";" + gone, picked), there + ";" + picked);
  EXPECT_EQ(TLocalStorePage::WithPicked(gone, picked), picked);
  EXPECT_EQ(TLocalStorePage::WithPicked("", picked), picked);
  EXPECT_EQ(TLocalStorePage::WithPicked(picked + ";" + there, picked), there + ";" + picked);
}

// A newcomer enters an SMTP account on the page and the test message goes through it, to a server
// with STARTTLS and a login; the profile keeps the account and nothing typed becomes a key of it.
TEST(Wizard, ATestThroughTheAccountEnteredOnThePage) {
  if (!testing::HaveSmtpTools()) GTEST_SKIP() << "openssl or aiosmtpd missing";
  testing::TempDir dir;
  testing::TestCertificate certificate(dir.path());
  ASSERT_TRUE(certificate.ok);
  testing::SmtpSink sink(dir.path() / "sink.log", testing::FreePort(),
                         {"starttls", certificate.cert.string(), certificate.key.string()});
  ASSERT_TRUE(sink.up());
  const auto profile = dir.path() / "store.conf";
  std::ofstream(profile) << "# my store\n[Store]\noutbox=" << (dir.path() / "Out").string()
                         << "\nsent=" << (dir.path() / "Sent").string()
                         << "\nfrom=ravenox@example.org\nsmtp_ca_file=" << certificate.cert.string()
                         << "\n";
  shell::LocalStoreSetup setup(profile);
  Rig rig;
  rig.settings.SetService(8);
  rig.settings.SetCustomEmail("5551234567@vtext.com");
  rig.context.store_setup = &setup;
  rig.Open();
  rig.Next();
  rig.Next();
  rig.Next();  // the carrier stored, the address stored: to the store's page
  TLocalStorePage& page = *rig.installer.StorePage;
  ASSERT_EQ(rig.Page(), &page);
  rig.Click(page.rbAccount);
  page.Server->setText("127.0.0.1");
  page.Port->setText(QString::number(sink.port()));
  page.User->setText("me");
  page.Password->setText("secret");
  page.Calendars->setText("/cal.ics\nsendmail=/bin/sh");  // a key of its own? never
  rig.Click(page.SendTest);
  EXPECT_EQ(page.TestResult->text(), "Sent to 5551234567@vtext.com. Check your phone.");
  sink.Stop();
  const std::string log = testing::ReadAll(dir.path() / "sink.log");
  EXPECT_NE(log.find("Subject: Ravenox Test message"), std::string::npos) << log;
  EXPECT_NE(log.find("If you got this message Ravenox Notification is working."), std::string::npos)
      << log;
  EXPECT_NE(log.find("X-RcptTo: 5551234567@vtext.com"), std::string::npos) << log;
  // Next keeps what the page says for the end of the run (the calendar that cannot be read is
  // kept once the user says so); nothing is written before Done.
  const std::string before = testing::ReadAll(profile);
  rig.boxes.answer = true;
  rig.Next();
  EXPECT_EQ(rig.Page(), rig.installer.MeetingPage);
  EXPECT_EQ(testing::ReadAll(profile), before);
  // Done: the account in the profile (the password in the keyring, or an error saying there is
  // none here), the profile's comment and its own keys with it; a second Done writes nothing.
  const std::string error = setup.Commit();
  const std::string kept = testing::ReadAll(profile);
  EXPECT_NE(kept.find("# my store"), std::string::npos) << kept;
  EXPECT_NE(kept.find("smtp_ca_file="), std::string::npos) << kept;
  EXPECT_EQ(kept.find("\nsendmail=/bin/sh"), std::string::npos) << kept;
  EXPECT_NE(kept.find("smtp_server=127.0.0.1"), std::string::npos) << kept;
  EXPECT_EQ(kept.find("secret"), std::string::npos) << kept;  // never in a file of ours
  if (!error.empty()) {
    EXPECT_NE(error.find("keyring"), std::string::npos) << error;
  }
  std::filesystem::remove(profile);
  EXPECT_EQ(setup.Commit(), "");
  EXPECT_FALSE(std::filesystem::exists(profile));
}

}  // namespace
}  // namespace ravenox::wizard
