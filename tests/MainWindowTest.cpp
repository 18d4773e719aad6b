// The main window under Qt's offscreen platform, with its engine on fakes and its message boxes
// answered by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenuBar>
#include <QTest>
#include <QToolButton>
#include <chrono>
#include <thread>

#include "EngineFakes.h"
#include "shell/configformunit.h"
#include "wizard/FrameAgentInitial.h"
#include "wizard/FrameServiceProvider.h"
#include "wizard/NewAgentInstallerObj.h"
#include "wizard/PersonnelConfigUnit.h"

namespace ravenox::shell {

using namespace ravenox::settings;
namespace {

using testing::ReadAll;
using testing::TempDir;

QApplication& App() {
  static int argc = 1;
  static char name[] = "ravenox-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto* a = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // The program's one wizard sequence, made before any main window.
    static wizard::TNewAgentInstaller installer;
    return a;
  }();
  return *app;
}

class FakeDialogs final : public TDialogs {
 public:
  void Message(QWidget*, const QString& caption, const QString& text) override {
    shown.push_back("message " + caption.toStdString() + ": " + text.toStdString());
  }
  void Information(QWidget*, const QString& text) override {
    shown.push_back("information: " + text.toStdString());
  }
  void Error(QWidget*, const QString& text) override {
    shown.push_back("error: " + text.toStdString());
  }
  bool Confirm(QWidget*, const QString& text) override {
    shown.push_back("confirm: " + text.toStdString());
    return answer;
  }
  bool Warning(QWidget*, const QString& caption, const QString& text) override {
    shown.push_back("warning " + caption.toStdString() + ": " + text.toStdString());
    return answer;
  }
  int Count(const std::string& line) const {
    return static_cast<int>(std::count(shown.begin(), shown.end(), line));
  }
  std::vector<std::string> shown;
  bool answer = false;
};

const char* kSavedSettings =
    "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox]\n"
    "\"Version\"=\"01.01.00.001\"\n\"MeetingNotify\"=dword:00000001\n"
    "\"MorningNotify\"=dword:00000000\n\"EveningNotify\"=dword:00000000\n"
    "\"TaskNotify\"=dword:00000000\n\"TaskPreNotify\"=dword:00000000\n"
    "\"TaskReminder\"=dword:00000001\n\"UrgentEmail\"=dword:00000000\n\"Top\"=dword:00000064\n"
    "\"Left\"=dword:00000064\n\"TaskRemindPeriod\"=dword:00000002\n\"Pin\"=\"5551234567\"\n"
    "\"EarlyTime\"=hex:00,00,00,00,00,00,00,00\n\"LateTime\"=hex:e3,d5,3f,f1,ff,ff,ef,3f\n"
    "\"Service\"=dword:00000008\n\"CustomAddr\"=\"\"\n\"CustomEmail\"=\" me@example.org \"\n";

// A window with its engine on fakes (the engine's thread runs), its settings in a folder of its
// own, and a tray that is there unless a test says otherwise.
struct Rig {
  explicit Rig(const std::string& settings = kSavedSettings,
               TFormOptions::Tray tray = TFormOptions::Tray::kThere) {
    App();
    if (!settings.empty()) {
      std::ofstream(dir.path() / "Ravenox.reg", std::ios::binary) << settings;
    }
    options.settings_file = dir.path() / "Ravenox.reg";
    options.dialogs = &dialogs;
    options.tray = tray;
    options.engine.clock = std::make_shared<testing::FakeClock>();
    options.engine.input = std::make_shared<testing::FakeInput>();
    options.engine.com = com;
    options.engine.debug_output = std::make_shared<testing::RecordingDebugOutput>();
    options.engine.connector = outlook->MakeConnector();
    options.engine.working_dir = dir.path();
    options.engine.open_event = [](const std::string&, std::string&) {
      return std::make_unique<platform::LocalEvent>();
    };
  }
  TRavenoxForm& Start() {
    form = std::make_unique<TRavenoxForm>(options);
    form->show();
    Settle();
    return *form;
  }
  // Lets posted events and the engine's calls arrive.
  static void Settle(int rounds = 5) {
    for (int i = 0; i < rounds; ++i) {
      QCoreApplication::processEvents();
      QCoreApplication::sendPostedEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string Stored() const { return ReadAll(dir.path() / "Ravenox.reg"); }

  TempDir dir;
  FakeDialogs dialogs;
  std::shared_ptr<testing::FakeCom> com = std::make_shared<testing::FakeCom>();
  std::shared_ptr<outlook::fake::FakeOutlook> outlook = outlook::fake::MakeFakeOutlook();
  TFormOptions options;
  std::unique_ptr<TRavenoxForm> form;
};

TEST(MainWindow, ActionTable) {
  Rig rig;
  TRavenoxForm& f = rig.Start();
  struct Row {
    QAction* action;
    const char* caption;
    const char* hint;
    QKeySequence shortcut;
    int image;
    const char* category;
  };
  const Row rows[] = {
      {f.actMeetingNotification,
       "Meeting Notification",
       "Notify your cell phone when a meeting reminder occurs.",
       {},
       0,
       "Meetings"},
      {f.actMorningMeeting,
       "Morning 1st Meeting Notification",
       "Notifies your cell at your set morning time of your first meeting of the day.",
       {},
       1,
       "Meetings"},
      {f.actEveningMeetingNotification,
       "Evening Next Days First Meeting",
       "Notifies you in the evening of the first meeting of the next day.",
       {},
       2,
       "Meetings"},
      {f.actTaskNotification,
       "Task Notifications",
       "Notifies your cell when you task reminder occurs.",
       {},
       3,
       ""},
      {f.actTaskPreReminder,
       "Pre Notification For Tasks",
       "Notifies you the day before your task is due.",
       {},
       4,
       ""},
      {f.actTaskReminder,
       "Past Due Task Reminder",
       "Reminder you ever day when tasks haven't been completed.",
       {},
       5,
       ""},
      {f.actUrgentEmail,
       "Urgent Email Notification",
       "Notifies you cell when an urgent email arrives.",
       {},
       6,
       ""},
      {f.actSettings, "Settings...", "Testing Message", {}, 7, ""},
      {f.actConfigWizard, "Run Configuration Wizard...",
       "Configure this program using the configuration wizard.", QKeySequence("F5"), 8, ""},
      {f.actHelp, "Application Help", nullptr, QKeySequence("F1"), 10, ""},
      {f.actHide, "Hide Program", nullptr, {}, 12, ""},
      {f.actExit, "Exit Program", nullptr, {}, 13, ""},
      {f.actUpgradeCheck, "Check For Upgrades or Patches", nullptr, {}, 11, ""},
      {f.actDebug, "actDebug", nullptr, QKeySequence("Alt+Shift+F12"), -1, ""},
      {f.StartTestSend, "StartTestSend", nullptr, QKeySequence("Ctrl+Alt+S"), -1, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.caption);
    EXPECT_EQ(r.action->text().toStdString(), r.caption);
    if (r.hint != nullptr) {
      EXPECT_EQ(r.action->toolTip().toStdString(), r.hint);
    }
    EXPECT_EQ(r.action->shortcut(), r.shortcut);
    EXPECT_EQ(r.action->property("imageIndex").toInt(), r.image);
    EXPECT_EQ(r.action->icon().isNull(), r.image < 0);
    if (r.image >= 0) {
      EXPECT_FALSE(r.action->icon().pixmap(16, 16).isNull());
    }
    EXPECT_EQ(r.action->property("category").toString().toStdString(), r.category);
  }

  // The menus, item by item ("-" a separator), and the toolbar.
  auto items = [](const QList<QAction*>& actions) {
    std::vector<std::string> out;
    for (QAction* a : actions) out.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    return out;
  };
  std::vector<std::vector<std::string>> menus;
  for (QAction* m : f.menuBar()->actions()) {
    menus.push_back({m->text().toStdString()});
    for (const auto& i : items(m->menu()->actions())) menus.back().push_back(i);
  }
  const std::vector<std::vector<std::string>> expected = {
      {"Settings", "Meeting Notification", "Morning 1st Meeting Notification",
       "Evening Next Days First Meeting", "-", "Task Notifications", "Past Due Task Reminder",
       "Pre Notification For Tasks", "-", "Urgent Email Notification", "-", "Send a Test Message",
       "Run Configuration Wizard..."},
      {"Help", "Application Help", "-", "Check For Upgrades or Patches"},
      {"Quit", "Hide Program", "-", "Exit Program"}};
  EXPECT_EQ(menus, expected);
  const std::vector<std::string> toolbar = {"Meeting Notification",
                                            "Morning 1st Meeting Notification",
                                            "Evening Next Days First Meeting",
                                            "-",
                                            "Task Notifications",
                                            "Pre Notification For Tasks",
                                            "Past Due Task Reminder",
                                            "-",
                                            "Urgent Email Notification",
                                            "-",
                                            "Settings...",
                                            "Run Configuration Wizard..."};
  EXPECT_EQ(items(f.ToolBar1->actions()), toolbar);
  EXPECT_EQ(f.ToolBar1->actions()[8]->toolTip().toStdString(),
            "Notifies your cell when an urgent email arrives.");
}

// A toggle changes the setting in memory, shows checked, and reaches the store at the next hide;
// a setting written elsewhere shows on its action.
TEST(MainWindow, TogglesFollowTheSettingsBothWays) {
  Rig rig;
  TRavenoxForm& f = rig.Start();
  EXPECT_TRUE(f.actMeetingNotification->isChecked());
  EXPECT_TRUE(f.actTaskReminder->isChecked());
  f.BringForward();
  const std::string before = rig.Stored();
  struct Case {
    QAction* action;
    NotifySwitch which;
  };
  for (const Case& c : {Case{f.actMorningMeeting, NotifySwitch::kMorningNotify},
                        Case{f.actUrgentEmail, NotifySwitch::kUrgentEmail},
                        Case{f.actMeetingNotification, NotifySwitch::kMeetingNotify}}) {
    const bool was = f.Settings().Switch(c.which);
    c.action->trigger();
    EXPECT_EQ(f.Settings().Switch(c.which), !was);
    EXPECT_EQ(c.action->isChecked(), !was);
  }
  EXPECT_EQ(rig.Stored(), before);  // memory only, until the window hides
  f.actHide->trigger();
  Rig::Settle();
  EXPECT_NE(rig.Stored().find("\"MorningNotify\"=dword:00000001"), std::string::npos);
  EXPECT_NE(rig.Stored().find("\"MeetingNotify\"=dword:00000000"), std::string::npos);
  f.Settings().SetSwitch(NotifySwitch::kTaskNotify, true);
  Rig::Settle();
  EXPECT_TRUE(f.actTaskNotification->isChecked());
}

TEST(MainWindow, StartsHiddenAndTrayClicksBringItBack) {
  struct Case {
    int mouse;
    bool shows;
  };
  const Case cases[] = {{WM_LBUTTONDOWN, true},
                        {WM_RBUTTONDOWN, true},
                        {WM_LBUTTONDBLCLK, false},
                        {WM_MBUTTONDOWN, false},
                        {0x200 /* a move */, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mouse);
    Rig rig;
    TRavenoxForm& f = rig.Start();
    EXPECT_FALSE(f.isVisible());  // the settings loaded: hidden at engine start
    EXPECT_TRUE(rig.dialogs.shown.empty());
    QCoreApplication::postEvent(&f, new TTrayNotifyEvent(c.mouse));
    Rig::Settle();
    EXPECT_EQ(f.isVisible(), c.shows);
    // Already visible: only brought forward.
    QCoreApplication::postEvent(&f, new TTrayNotifyEvent(c.mouse));
    Rig::Settle();
    EXPECT_EQ(f.isVisible(), c.shows);
  }
}

TEST(MainWindow, MinimiseHidesAndSavesOrStaysMinimisedWithoutATray) {
  for (const auto tray : {TFormOptions::Tray::kThere, TFormOptions::Tray::kAbsent}) {
    const bool there = tray == TFormOptions::Tray::kThere;
    SCOPED_TRACE(there);
    Rig rig(kSavedSettings, tray);
    TRavenoxForm& f = rig.Start();
    f.BringForward();
    Rig::Settle();
    f.actUrgentEmail->trigger();
    f.setWindowState(Qt::WindowMinimized);
    Rig::Settle();
    EXPECT_NE(rig.Stored().find("\"UrgentEmail\"=dword:00000001"), std::string::npos);
    if (there) {
      EXPECT_FALSE(f.isVisible());
    } else {
      EXPECT_TRUE(f.windowState() & Qt::WindowMinimized);  // the taskbar is the way back
    }
  }
}

TEST(MainWindow, ExitThenNoHidesAndStopsTheRepeatingTest) {
  Rig rig;
  TRavenoxForm& f = rig.Start();
  f.BringForward();
  f.StartTestSend->trigger();
  EXPECT_TRUE(f.TestSender.isActive());
  rig.dialogs.answer = false;
  f.actExit->trigger();
  Rig::Settle();
  EXPECT_EQ(rig.dialogs.Count("confirm: Do you really want to stop Ravenox?"), 1);
  EXPECT_FALSE(f.TestSender.isActive());
  EXPECT_FALSE(f.isVisible());
  ASSERT_NE(f.Processor(), nullptr);
  EXPECT_TRUE(f.ProcessorRunning());
}

// Yes while the engine is in the middle of a send: the close waits for the engine to finish.
TEST(MainWindow, ExitThenYesWhileASendIsInProgress) {
  Rig rig;
  std::atomic<bool> sending{false};
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send") {
      sending = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(900));
    }
  });
  TRavenoxForm& f = rig.Start();
  f.BringForward();
  f.actSettings->trigger();  // a test message: sent at once
  for (int i = 0; i < 2000 && !sending; ++i) Rig::Settle(1);
  ASSERT_TRUE(sending);
  rig.dialogs.answer = true;
  const auto started = std::chrono::steady_clock::now();
  f.actExit->trigger();
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  EXPECT_EQ(f.Processor(), nullptr);
  EXPECT_FALSE(f.ProcessorRunning());
  EXPECT_EQ(rig.outlook->Sent().size(), 1u);
  EXPECT_EQ(f.StatusText().toStdString(),
            "Shutting Download Outlook Processing System....Please Wait.");
  EXPECT_TRUE(std::filesystem::exists(rig.dir.path() / "NOTIFY.CLD"));  // saved on the way out
}

TEST(MainWindow, WatchdogReportsADeadEngineOnEveryTick) {
  Rig rig;
  rig.com->results = {false};  // the engine cannot start and ends at once
  TRavenoxForm& f = rig.Start();
  for (int i = 0; i < 2000 && f.ProcessorRunning(); ++i) Rig::Settle(1);
  ASSERT_FALSE(f.ProcessorRunning());
  EXPECT_TRUE(f.Timer1.isActive());
  EXPECT_EQ(f.Timer1.interval(), 15000);
  f.Timer1Timer();
  f.Timer1Timer();  // also while the first box may still be open
  EXPECT_EQ(rig.dialogs.Count("error: Outlook Processor has died. Please Restart Application."), 2);
}

TEST(MainWindow, CommandsAndTheirShortcuts) {
  Rig rig;
  TRavenoxForm& f = rig.Start();
  f.BringForward();
  QApplication::setActiveWindow(&f);
  Rig::Settle();
  // Ctrl+Alt+S twice within 5 s: the repeating test is off again and nothing went out.
  QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_TRUE(f.TestSender.isActive());
  QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_FALSE(f.TestSender.isActive());
  EXPECT_TRUE(rig.outlook->Sent().empty());
  // Alt+Shift+F12 right after start: the log was on, so it goes off.
  QTest::keyClick(&f, Qt::Key_F12, Qt::AltModifier | Qt::ShiftModifier);
  EXPECT_EQ(rig.dialogs.shown.back(), "information: Debugging Is Off!!");
  QTest::keyClick(&f, Qt::Key_F12, Qt::AltModifier | Qt::ShiftModifier);
  EXPECT_EQ(rig.dialogs.shown.back(), "information: Debugging Is On!!");
  // The test message goes to the custom address exactly as stored (carrier "Other").
  f.actSettings->trigger();
  for (int i = 0; i < 2000 && rig.outlook->Sent().empty(); ++i) Rig::Settle(1);
  ASSERT_EQ(rig.outlook->Sent().size(), 1u);
  EXPECT_EQ(rig.outlook->Sent()[0].to, " me@example.org ");
  EXPECT_EQ(rig.outlook->Sent()[0].subject, "Ravenox Test message");
  EXPECT_EQ(rig.outlook->Sent()[0].body,
            "If you got this message Ravenox Notification is working.");
}

TEST(MainWindow, FirstRunAndAFailedSettingsRead) {
  struct Case {
    const char* name;
    std::string settings;
    std::string box;
  };
  std::string no_top = kSavedSettings;
  no_top.erase(no_top.find("\"Top\""), std::string("\"Top\"=dword:00000064\n").size());
  const Case cases[] = {
      {"first run", "",
       "information: Welcome To Ravenox. You must complete\r\nthe configuration at this time."},
      {"Top missing", no_top, "message Ravenox: Error Reading Registry"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.settings);
    TRavenoxForm& f = rig.Start();
    EXPECT_EQ(rig.dialogs.shown, std::vector<std::string>{c.box});
    ASSERT_NE(f.Processor(), nullptr);  // the engine started
    EXPECT_TRUE(f.isVisible());         // and the window stayed
    // On a first run the wizard is open, on its welcome page, as a window of the main window.
    const bool open = f.Wizard() != nullptr && f.Wizard()->isVisible();
    EXPECT_EQ(open, c.settings.empty());
    if (open) {
      wizard::TMainForm* first = f.Wizard();
      EXPECT_EQ(first->parentWidget(), &f);
      EXPECT_EQ(wizard::TNewAgentInstaller::Instance()->CurrentPage,
                wizard::TNewAgentInstaller::Instance()->FirstPage());
      // Cancelled, nothing was ever saved: the welcome again, and the wizard again.
      rig.dialogs.answer = true;
      first->close();
      Rig::Settle();
      EXPECT_EQ(rig.dialogs.Count(c.box), 2);
      ASSERT_NE(f.Wizard(), first);
      EXPECT_TRUE(f.Wizard()->isVisible());
      EXPECT_FALSE(std::filesystem::exists(rig.dir.path() / "Ravenox.reg"));
      // Hidden before the wizard was finished: the defaults are not saved, so the next start is
      // a first start again; finishing the wizard saves.
      f.actHide->trigger();
      Rig::Settle();
      EXPECT_FALSE(std::filesystem::exists(rig.dir.path() / "Ravenox.reg"));
      QCoreApplication::postEvent(&f, new QEvent(WM_SAVE_SETTINGS));
      Rig::Settle();
      EXPECT_TRUE(std::filesystem::exists(rig.dir.path() / "Ravenox.reg"));
      f.Wizard()->hide();
    }
  }
}

// A run from the menu: a second request brings the open wizard forward with its page; Done saves
// what the pages stored and the engine reads it; a cancelled run puts the saved settings back.
// The store page's answers, as the main window hands them on.
struct RecordingStore final : wizard::TStoreSetup {
  wizard::TStoreFields Load() override { return {}; }
  std::string Check(const wizard::TStoreFields&) override { return {}; }
  std::vector<std::string> Unreadable(const wizard::TStoreFields&) override { return {}; }
  void Keep(const wizard::TStoreFields&) override {}
  std::string Commit() override {
    ++commits;
    return {};
  }
  void Discard() override { ++discards; }
  std::string SendTest(const wizard::TStoreFields&, const std::string&) override { return {}; }
  std::vector<Found> Suggestions() override { return {}; }
  int commits = 0, discards = 0;
};

TEST(MainWindow, WizardRuns) {
  Rig rig;
  RecordingStore store;
  rig.options.store_setup = &store;
  TRavenoxForm& f = rig.Start();
  auto& installer = *wizard::TNewAgentInstaller::Instance();
  auto open_wizard = [&] {
    f.actConfigWizard->trigger();
    Rig::Settle();
    return f.Wizard();
  };
  auto next = [&] {
    QTest::mouseClick(installer.CurrentPage->NextButton, Qt::LeftButton);
    Rig::Settle();
  };
  wizard::TMainForm* first = open_wizard();
  ASSERT_NE(first, nullptr);
  next();
  ASSERT_EQ(installer.CurrentPage, installer.ProviderPage);
  EXPECT_EQ(open_wizard(), first);
  EXPECT_EQ(installer.CurrentPage, installer.ProviderPage);
  EXPECT_EQ(installer.ProviderPage->parentWidget(), first->MainPanel);

  auto choose = [&](int carrier) {
    QRadioButton* b = installer.ProviderPage->rdoServiceProvider->Button(carrier);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(8, b->height() / 2));
  };
  choose(5);
  next();
  installer.PersonalPage->CellNumber->SetValue("2125550199");
  next();
  next();
  next();  // the store's page
  next();  // Done
  EXPECT_FALSE(first->isVisible());
  // The store's profile is written with the settings, and the engine connects to it afresh.
  EXPECT_EQ(store.commits, 1);
  for (int i = 0; i < 2000 && rig.outlook->Connections() < 2; ++i) Rig::Settle(1);
  EXPECT_EQ(rig.outlook->Connections(), 2);
  EXPECT_NE(rig.Stored().find("\"Pin\"=\"2125550199\""), std::string::npos) << rig.Stored();
  EXPECT_NE(rig.Stored().find("\"Service\"=dword:00000005"), std::string::npos);
  std::string address;
  f.GetPhoneAddress(address);
  EXPECT_EQ(address, "2125550199@vtext.com");

  // A cancelled run leaves the settings as they were saved.
  wizard::TMainForm* second = open_wizard();
  ASSERT_NE(second, first);
  EXPECT_EQ(installer.CurrentPage, installer.FirstPage());
  next();
  choose(0);
  next();
  EXPECT_EQ(f.Settings().Service(), 0);
  rig.dialogs.answer = true;
  second->close();
  Rig::Settle();
  EXPECT_EQ(
      rig.dialogs.Count("warning Warning: Are you sure you want to exit the configuration Wizard?"),
      1);
  EXPECT_EQ(f.Settings().Service(), 5);
  EXPECT_EQ(f.Settings().Pin(), "2125550199");
  EXPECT_EQ(store.discards, 1);
  EXPECT_EQ(store.commits, 1);
}

// Where the window is: a window hidden at start before it was ever placed keeps the place it was
// loaded with, so a cancelled wizard does not move it to the corner; a place the user gave it on
// the screen is kept.
TEST(MainWindow, TheWindowKeepsItsPlace) {
  Rig rig;
  TRavenoxForm& f = rig.Start();
  EXPECT_FALSE(f.isVisible());
  EXPECT_NE(rig.Stored().find("\"Top\"=dword:00000064"), std::string::npos) << rig.Stored();
  EXPECT_NE(rig.Stored().find("\"Left\"=dword:00000064"), std::string::npos) << rig.Stored();
  QCoreApplication::postEvent(&f, new QEvent(WM_RELOAD_SETTINGS));  // a cancelled wizard
  Rig::Settle();
  EXPECT_EQ(f.pos(), QPoint(100, 100));
  f.BringForward();
  Rig::Settle();
  f.move(140, 120);
  Rig::Settle();
  f.actHide->trigger();
  Rig::Settle();
  EXPECT_NE(rig.Stored().find("\"Top\"=dword:00000078"), std::string::npos) << rig.Stored();
  EXPECT_NE(rig.Stored().find("\"Left\"=dword:0000008c"), std::string::npos) << rig.Stored();
}

// The settings file in trouble: a damaged one moved aside is said in the window; a folder where
// the settings cannot be written leaves a window that says it is not running and what to do.
TEST(MainWindow, SettingsInTroubleAreSaidInTheWindow) {
  {
    Rig rig("this is no settings file\n");
    TRavenoxForm& f = rig.Start();
    ASSERT_GE(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].rfind("message Ravenox: The settings file ", 0), 0u)
        << rig.dialogs.shown[0];
    EXPECT_NE(rig.dialogs.shown[0].find(".corrupt"), std::string::npos);
    EXPECT_NE(f.Processor(), nullptr);
    f.Wizard()->hide();
  }
  Rig rig;
  std::ofstream(rig.dir.path() / "not-a-folder") << "x";
  rig.options.settings_file = rig.dir.path() / "not-a-folder" / "Ravenox.reg";
  TRavenoxForm& f = rig.Start();
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_NE(rig.dialogs.shown[0].find("then start Ravenox again"), std::string::npos)
      << rig.dialogs.shown[0];
  EXPECT_EQ(f.Processor(), nullptr);
  EXPECT_EQ(f.StatusText().toStdString().rfind("Not running: ", 0), 0u);
  EXPECT_FALSE(f.actMeetingNotification->isEnabled());
  EXPECT_FALSE(f.actSettings->isEnabled());
  EXPECT_TRUE(f.actExit->isEnabled());
  EXPECT_TRUE(f.isVisible());
}

// Help opens the running copy's page through the desktop's opener; where no browser takes it, or
// the page is not there, a box says so and where the page is.
TEST(MainWindow, HelpSaysWhenNoBrowserOpensIt) {
  TempDir bin;
  const std::string saved_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", bin.path().c_str(), 1);
  auto opener = [&](int status) {
    std::ofstream(bin.path() / "xdg-open")
        << "#!/bin/sh\necho \"$@\" >>" << (bin.path() / "opened").string() << "\nexit " << status
        << "\n";
    std::filesystem::permissions(bin.path() / "xdg-open", std::filesystem::perms::owner_all);
  };
  Rig rig;
  std::ofstream(rig.dir.path() / "index.html") << "<html></html>";
  rig.options.help_page = rig.dir.path() / "index.html";
  TRavenoxForm& f = rig.Start();
  auto wait = [&](std::size_t boxes, int lines) {
    for (int i = 0; i < 400; ++i) {
      if (rig.dialogs.shown.size() >= boxes &&
          testing::Count(ReadAll(bin.path() / "opened"), "\n") >= lines)
        break;
      Rig::Settle(1);
    }
  };
  opener(0);
  f.actHelp->trigger();
  wait(0, 1);
  Rig::Settle(20);
  EXPECT_TRUE(rig.dialogs.shown.empty());
  EXPECT_EQ(ReadAll(bin.path() / "opened"),
            "file://" + (rig.dir.path() / "index.html").string() + "\n");
  opener(3);  // no browser
  f.actUpgradeCheck->trigger();
  wait(1, 2);
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_EQ(rig.dialogs.shown[0], "error: No browser opened the help page. It is the file\n" +
                                      (rig.dir.path() / "index.html").string() +
                                      "\nOpen it in a browser.");
  std::filesystem::remove(rig.dir.path() / "index.html");
  f.Label3Click();
  EXPECT_EQ(rig.dialogs.shown.back().rfind("error: The help page is not there.", 0), 0u);
  setenv("PATH", saved_path.c_str(), 1);
}

// Small things a person sees: the switches' menu entries show check marks; a status text too long
// for the line ends in "..." (the tooltip has all of it); the wizard has a close box only.
TEST(MainWindow, ChecksEllipsisAndTheWizardsFrame) {
  Rig rig;
  TRavenoxForm& f = rig.Start();
  f.BringForward();
  // The engine's first pass ends by saying it is idle; that must not overwrite the text below.
  for (int i = 0; i < 1000 && f.StatusText() != "Processor Idle."; ++i) Rig::Settle(1);
  ASSERT_EQ(f.StatusText(), "Processor Idle.");
  for (QAction* a : {f.actMeetingNotification, f.actUrgentEmail, f.actTaskReminder}) {
    EXPECT_TRUE(a->isCheckable());
    EXPECT_FALSE(a->isIconVisibleInMenu());
  }
  const std::string long_text =
      "09:30:00@loc:Conference room on the fourth floor:Quarterly budget review with the whole "
      "finance team and the auditors from outside";
  f.SetStatusText(long_text);
  Rig::Settle();
  EXPECT_EQ(f.StatusText().toStdString(), long_text);
  EXPECT_EQ(f.StatusPanel->toolTip().toStdString(), long_text);
  const QString shown = f.StatusPanel->text();
  EXPECT_TRUE(shown.endsWith("...")) << shown.toStdString();
  EXPECT_TRUE(QString::fromStdString(long_text).startsWith(shown.chopped(3).trimmed()));
  f.SetStatusText("Processor Idle.");
  Rig::Settle();
  EXPECT_EQ(f.StatusPanel->text(), "Processor Idle.");
  f.actConfigWizard->trigger();
  Rig::Settle();
  ASSERT_NE(f.Wizard(), nullptr);
  const Qt::WindowFlags flags = f.Wizard()->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  f.Wizard()->hide();
}

}  // namespace
}  // namespace ravenox::shell
