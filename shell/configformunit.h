// The main window: the program's hub. It owns the settings and the engine, shows the notification
// switches as a menu and a toolbar, the status line, and an icon in the tray, and stays hidden in
// normal use.
#pragma once

#include <QAction>
#include <QEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <array>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>

#include "engine/OutlookProcessorUnit.h"
#include "platform/RegistryFile.h"
#include "settings/SettingsHost.h"
#include "settings/SettingsStore.h"
#include "shell/Dialogs.h"
#include "wizard/InstallerMain.h"
#include "wizard/WindowMessages.h"

namespace ravenox::shell {

// The window edits the settings: their names are its own.
using namespace ravenox::settings;

inline QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// The window's own messages, posted to it as events of these types.
inline constexpr QEvent::Type WM_OPEN_WIZARD =
    static_cast<QEvent::Type>(wizard::kOpenWizardMessage);
inline constexpr QEvent::Type WM_RELOAD_SETTINGS =
    static_cast<QEvent::Type>(wizard::kReloadSettingsMessage);
inline constexpr QEvent::Type WM_SAVE_SETTINGS =
    static_cast<QEvent::Type>(wizard::kSaveSettingsMessage);
inline constexpr QEvent::Type WM_START_PROCESSOR =
    static_cast<QEvent::Type>(wizard::kStartProcessorMessage);
inline constexpr QEvent::Type WM_TRAY_NOTIFY =
    static_cast<QEvent::Type>(wizard::kTrayNotifyMessage);

// The mouse events a tray notification carries.
inline constexpr int WM_LBUTTONDOWN = 0x201;
inline constexpr int WM_RBUTTONDOWN = 0x204;
inline constexpr int WM_LBUTTONDBLCLK = 0x203;
inline constexpr int WM_MBUTTONDOWN = 0x207;

class TTrayNotifyEvent final : public QEvent {
 public:
  explicit TTrayNotifyEvent(int mouse) : QEvent(WM_TRAY_NOTIFY), lParam(mouse) {}
  int lParam;
};

struct TFormOptions {
  std::filesystem::path settings_file;  // empty: the default place
  engine::ProcessorEnvironment engine;  // empty members: the real ones
  TDialogs* dialogs = nullptr;          // null: the toolkit's message boxes
  // Whether a tray is there to hide into; tests say so instead of asking the desktop.
  enum class Tray { kAsTheDesktopSays, kThere, kAbsent } tray = Tray::kAsTheDesktopSays;
  // The store the engine reads, as the wizard's welcome page names it.
  wizard::TStoreKind store = wizard::TStoreKind::kLocalStore;
  // The local store's profile for the wizard's page "Your calendar and mail"; null: no such page.
  wizard::TStoreSetup* store_setup = nullptr;
  // The help page; empty: the one installed beside the program (or beside an uninstalled build).
  std::filesystem::path help_page;
};

// The status line's one panel: a text too long for it ends in "..." at a word where it can; the
// whole text is its tooltip.
class TStatusPanel final : public QLabel {
 public:
  using QLabel::QLabel;
  void SetFullText(const QString& text);
  const QString& FullText() const { return full_; }

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void Fit();
  QString full_;
};

class TRavenoxForm final : public QMainWindow, public TSettingsHost, public SettingsWindow {
  Q_OBJECT

 public:
  explicit TRavenoxForm(TFormOptions options = {});
  ~TRavenoxForm() override;

  // --- Actions, in the order of the action list -------------------------------------------
  QAction* actMeetingNotification;
  QAction* actMorningMeeting;
  QAction* actEveningMeetingNotification;
  QAction* actTaskNotification;
  QAction* actTaskPreReminder;
  QAction* actTaskReminder;
  QAction* actUrgentEmail;
  QAction* actSettings;
  QAction* actConfigWizard;
  QAction* actHelp;
  QAction* actHide;
  QAction* actExit;
  QAction* actUpgradeCheck;
  QAction* actDebug;
  QAction* StartTestSend;

  // --- Controls and timers ---------------------------------------------------------------
  QToolBar* ToolBar1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  TStatusPanel* StatusPanel;  // the one panel of StatusBar1
  QTimer Timer1, TestSender, KillMeNow;
  QSystemTrayIcon* TrayIcon;

  TSettings& Settings() { return settings_; }
  engine::TOutlookProcessor* Processor() { return processor_.get(); }
  bool ProcessorRunning() const { return processor_running_.load(); }
  bool SessionEnding() const { return session_ending_; }
  QString StatusText() const;

  // --- Handlers, under the names the program's other parts use -------------------------------
  void FormCreate();
  void FormHide();
  // The close request; true when the close may go on.
  bool FormCloseQuery();
  void FormClose();
  void FormDestroy();
  void actSettingsExecute();
  void StartTestSendExecute();
  void actDebugExecute();
  void actHelpExecute();
  void actUpgradeCheckExecute();
  void Label3Click();
  void actConfigWizardExecute();
  void actHideExecute();
  void actExitExecute();
  void Timer1Timer();
  void KillMeNowTimer();
  void StatusBar1MouseMove();
  // Hides to the tray (or, without a tray, minimises: there is no other way back).
  void HideToTray();
  // The end of the desktop session asked for (no question; gone within 500 ms).
  void WMQueryEndSession();
  // The session ends now, or a stop signal came: stop the engine, save, quit with status 0.
  void WMEndSession();
  // A second copy was started: bring this one's window forward.
  void BringForward();
  // Whether a tray is there to hide into.
  bool HaveTray() const;
  // Opens a section of the help page ("" for the contents).
  void OpenHelp(const QString& section);
  // The wizard window of the current run (or the last one); null before the first.
  wizard::TMainForm* Wizard() const;

 signals:
  // The settings were written to the store.
  void SettingsSaved();

 public:
  // --- ProcessorHost (engine thread and window thread) ------------------------------------
  void SetStatusText(const std::string& text) override;
  void SetProcessorRunning(bool running) override { processor_running_.store(running); }
  void ShowException(const std::string& message) override;
  bool IsApplicationMainWindow() const override { return true; }
  // Writes the settings to the store; errors go to an error box.
  void Save();

  // --- SettingsWindow (what loading the settings does to the window) ----------------------
  void ShowMessage(const std::string& text) override;
  void ShowInformation(const std::string& text) override;
  void PostOpenWizard() override;
  int32_t Top() const override;
  int32_t Left() const override;
  void SetTop(int32_t top) override;
  void SetLeft(int32_t left) override;
  int32_t ScreenWidth() const override;
  int32_t ScreenHeight() const override;

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void hideEvent(QHideEvent* e) override;
  void changeEvent(QEvent* e) override;
  void moveEvent(QMoveEvent* e) override;

 private:
  void CreateActions();
  void CreateMenusAndToolbar();
  void CreateContents();
  void StartProcessor();
  void TrayNotify(int mouse);
  // A new wizard window for a run, or the open one brought forward.
  void OpenWizard();
  // Cuts the engine's wait short.
  void WakeEngine();
  void StopProcessor(bool process_messages);
  void Toggle(QAction* action, NotifySwitch which);
  QAction* ActionFor(NotifySwitch which) const;
  TDialogs& Dialogs() { return *dialogs_; }
  // The settings cannot be read or written: the window says so and what to do, and offers
  // nothing that needs the engine.
  void ShowNotRunning(const std::string& why);

  TFormOptions options_;
  TSettings settings_;
  platform::RegistryFile store_;
  std::unique_ptr<TMessageBoxes> own_dialogs_;
  TDialogs* dialogs_;
  std::unique_ptr<engine::TOutlookProcessor> processor_;
  std::atomic<bool> processor_running_{false};
  // Set while the engine is being stopped: the texts it still had on their way to the status
  // line do not cover the shutdown message.
  std::atomic<bool> engine_texts_closed_{false};
  bool session_ending_ = false;
  bool closed_ = false;
  // A first start whose wizard has not been finished yet: there is nothing of the user's to keep,
  // and saving the defaults would make the next start skip the welcome and the wizard.
  bool unconfigured_ = false;
  bool creating_ = true;
  // Where the window is: loaded from the settings, and followed while it is on the screen. A
  // window hidden before it was ever placed keeps the loaded place.
  int saved_top_ = 0, saved_left_ = 0;
  QTimer tray_retry_;
  std::array<QAction*, kNotifySwitchCount> toggles_{};  // the switch actions, by NotifySwitch

  // Error boxes asked for by the engine's thread: shown on this thread, the engine waiting until
  // each is closed, or until the window goes.
  std::mutex boxes_mutex_;
  std::condition_variable boxes_closed_;
  uint64_t boxes_shown_ = 0;
  bool going_ = false;
};

}  // namespace ravenox::shell
