#include "shell/configformunit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QHideEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QMoveEvent>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <utility>

#include "shell/Artwork.h"
#include "wizard/NewAgentInstallerObj.h"

namespace ravenox::shell {
namespace {

constexpr int kWatchdogMs = 15000;
constexpr int kTestSenderMs = 5000;
constexpr int kKillMeNowMs = 500;
constexpr int kTrayRetryMs = 5000;

}  // namespace

TRavenoxForm::TRavenoxForm(TFormOptions options)
    : TSettingsHost(settings_),
      options_(std::move(options)),
      store_(options_.settings_file.empty() ? platform::RegistryFile::DefaultPath()
                                            : options_.settings_file,
             // A damaged settings file moved aside is said in the window, before anything else.
             [this](const std::string& notice) { Dialogs().Message(this, "Ravenox", Q(notice)); }),
      dialogs_(options_.dialogs) {
  if (dialogs_ == nullptr) {
    own_dialogs_ = std::make_unique<TMessageBoxes>();
    dialogs_ = own_dialogs_.get();
  }
  setWindowTitle("Ravenox");
  setWindowIcon(ApplicationIcon());
  // A fixed border with the system menu and a minimise box, no maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  CreateActions();
  CreateMenusAndToolbar();
  CreateContents();
  setFixedSize(sizeHint().expandedTo(QSize(375, 178)));

  Timer1.setInterval(kWatchdogMs);
  connect(&Timer1, &QTimer::timeout, this, &TRavenoxForm::Timer1Timer);
  TestSender.setInterval(kTestSenderMs);
  connect(&TestSender, &QTimer::timeout, this, &TRavenoxForm::actSettingsExecute);
  KillMeNow.setInterval(kKillMeNowMs);
  KillMeNow.setSingleShot(true);
  connect(&KillMeNow, &QTimer::timeout, this, &TRavenoxForm::KillMeNowTimer);

  TrayIcon = new QSystemTrayIcon(ApplicationIcon(), this);
  TrayIcon->setToolTip(QFileInfo(QCoreApplication::applicationFilePath()).baseName().left(63));
  connect(TrayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            int mouse = 0;
            switch (reason) {
              case QSystemTrayIcon::Trigger:
                mouse = WM_LBUTTONDOWN;
                break;
              case QSystemTrayIcon::Context:
                mouse = WM_RBUTTONDOWN;
                break;
              case QSystemTrayIcon::DoubleClick:
                mouse = WM_LBUTTONDBLCLK;
                break;
              default:
                mouse = WM_MBUTTONDOWN;
                break;
            }
            QCoreApplication::postEvent(this, new TTrayNotifyEvent(mouse));
          });
  // A tray that is not there yet may come later (a panel started after us).
  tray_retry_.setInterval(kTrayRetryMs);
  connect(&tray_retry_, &QTimer::timeout, this, [this] {
    if (HaveTray()) {
      TrayIcon->show();
      tray_retry_.stop();
    }
  });

  settings_.OnSwitchChanged([this](NotifySwitch which, bool on) {
    QMetaObject::invokeMethod(
        this, [this, which, on] { ActionFor(which)->setChecked(on); }, Qt::AutoConnection);
  });
  FormCreate();
}

TRavenoxForm::~TRavenoxForm() {
  settings_.OnSwitchChanged(nullptr);
  if (processor_ != nullptr) StopProcessor(false);
  FormDestroy();
}

void TRavenoxForm::CreateActions() {
  auto make = [this](const char* caption, const char* hint, int image, const QString& category) {
    auto* a = new QAction(caption, this);
    if (hint != nullptr) {
      a->setToolTip(hint);
      a->setStatusTip(hint);
    }
    if (image >= 0) a->setIcon(ActionImage(image));
    a->setProperty("category", category);
    a->setProperty("imageIndex", image);
    addAction(a);  // shortcuts work while the main window is active
    return a;
  };
  const QString meetings = "Meetings";
  actMeetingNotification =
      make("Meeting Notification", "Notify your cell phone when a meeting reminder occurs.", 0,
           meetings);
  actMorningMeeting = make(
      "Morning 1st Meeting Notification",
      "Notifies your cell at your set morning time of your first meeting of the day.", 1, meetings);
  actEveningMeetingNotification =
      make("Evening Next Days First Meeting",
           "Notifies you in the evening of the first meeting of the next day.", 2, meetings);
  actTaskNotification =
      make("Task Notifications", "Notifies your cell when you task reminder occurs.", 3, "");
  actTaskPreReminder =
      make("Pre Notification For Tasks", "Notifies you the day before your task is due.", 4, "");
  actTaskReminder = make("Past Due Task Reminder",
                         "Reminder you ever day when tasks haven't been completed.", 5, "");
  actUrgentEmail =
      make("Urgent Email Notification", "Notifies you cell when an urgent email arrives.", 6, "");
  actSettings = make("Settings...", "Testing Message", 7, "");
  actConfigWizard = make("Run Configuration Wizard...",
                         "Configure this program using the configuration wizard.", 8, "");
  actConfigWizard->setShortcut(QKeySequence(Qt::Key_F5));
  actHelp = make("Application Help", nullptr, 10, "");
  actHelp->setShortcut(QKeySequence(Qt::Key_F1));
  actHide = make("Hide Program", nullptr, 12, "");
  actExit = make("Exit Program", nullptr, 13, "");
  actUpgradeCheck = make("Check For Upgrades or Patches", nullptr, 11, "");
  actDebug = make("actDebug", nullptr, -1, "");
  actDebug->setShortcut(QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_F12));
  StartTestSend = make("StartTestSend", nullptr, -1, "");
  StartTestSend->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S));

  const std::pair<QAction*, NotifySwitch> toggles[] = {
      {actMeetingNotification, NotifySwitch::kMeetingNotify},
      {actMorningMeeting, NotifySwitch::kMorningNotify},
      {actEveningMeetingNotification, NotifySwitch::kEveningNotify},
      {actTaskNotification, NotifySwitch::kTaskNotify},
      {actTaskPreReminder, NotifySwitch::kTaskPreNotify},
      {actTaskReminder, NotifySwitch::kTaskReminder},
      {actUrgentEmail, NotifySwitch::kUrgentEmail},
  };
  for (const auto& [action, which] : toggles) {
    toggles_[static_cast<std::size_t>(which)] = action;
    action->setCheckable(true);
    // In the menu a switch shows its check mark; its picture is on the toolbar.
    action->setIconVisibleInMenu(false);
    connect(action, &QAction::triggered, this,
            [this, action = action, which = which] { Toggle(action, which); });
  }
  connect(actSettings, &QAction::triggered, this, &TRavenoxForm::actSettingsExecute);
  connect(actConfigWizard, &QAction::triggered, this, &TRavenoxForm::actConfigWizardExecute);
  connect(actHelp, &QAction::triggered, this, &TRavenoxForm::actHelpExecute);
  connect(actHide, &QAction::triggered, this, &TRavenoxForm::actHideExecute);
  connect(actExit, &QAction::triggered, this, &TRavenoxForm::actExitExecute);
  connect(actUpgradeCheck, &QAction::triggered, this, &TRavenoxForm::actUpgradeCheckExecute);
  connect(actDebug, &QAction::triggered, this, &TRavenoxForm::actDebugExecute);
  connect(StartTestSend, &QAction::triggered, this, &TRavenoxForm::StartTestSendExecute);
}

void TRavenoxForm::CreateMenusAndToolbar() {
  QMenu* settings = menuBar()->addMenu("Settings");
  settings->addAction(actMeetingNotification);
  settings->addAction(actMorningMeeting);
  settings->addAction(actEveningMeetingNotification);
  settings->addSeparator();
  settings->addAction(actTaskNotification);
  settings->addAction(actTaskReminder);
  settings->addAction(actTaskPreReminder);
  settings->addSeparator();
  settings->addAction(actUrgentEmail);
  settings->addSeparator();
  // The test message's item has a caption of its own.
  QAction* send = settings->addAction(actSettings->icon(), "Send a Test Message");
  send->setToolTip(actSettings->toolTip());
  connect(send, &QAction::triggered, actSettings, &QAction::trigger);
  settings->addAction(actConfigWizard);
  QMenu* help = menuBar()->addMenu("Help");
  help->addAction(actHelp);
  help->addSeparator();
  help->addAction(actUpgradeCheck);
  QMenu* quit = menuBar()->addMenu("Quit");
  quit->addAction(actHide);
  quit->addSeparator();
  quit->addAction(actExit);

  ToolBar1 = addToolBar("ToolBar1");
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  ToolBar1->setIconSize(QSize(32, 32));
  ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
  ToolBar1->setFixedHeight(45);
  ToolBar1->addAction(actMeetingNotification);
  ToolBar1->addAction(actMorningMeeting);
  ToolBar1->addAction(actEveningMeetingNotification);
  ToolBar1->addSeparator();
  ToolBar1->addAction(actTaskNotification);
  ToolBar1->addAction(actTaskPreReminder);
  ToolBar1->addAction(actTaskReminder);
  ToolBar1->addSeparator();
  // The urgent e-mail button's tooltip is its own.
  QAction* urgent = new QAction(actUrgentEmail->icon(), actUrgentEmail->text(), this);
  urgent->setCheckable(true);
  urgent->setToolTip("Notifies your cell when an urgent email arrives.");
  connect(urgent, &QAction::triggered, actUrgentEmail, [this] { actUrgentEmail->trigger(); });
  connect(actUrgentEmail, &QAction::toggled, urgent, &QAction::setChecked);
  ToolBar1->addAction(urgent);
  ToolBar1->addSeparator();
  ToolBar1->addAction(actSettings);
  ToolBar1->addAction(actConfigWizard);
}

void TRavenoxForm::CreateContents() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  Label1 = new QLabel("Ravenox, Linking you to your information. ", central);
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  Label2 = new QLabel("Texts your phone about meetings, tasks and urgent mail while you are away.",
                      central);
  Label2->setWordWrap(true);
  Label3 = new QLabel("<a href=\"#home\" style=\"color:navy\">Ravenox home page</a>", central);
  Label3->setCursor(Qt::PointingHandCursor);
  Label3->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  connect(Label3, &QLabel::linkActivated, this, [this] { Label3Click(); });
  layout->addWidget(Label1);
  layout->addWidget(Label2);
  layout->addWidget(Label3);
  layout->addStretch();
  setCentralWidget(central);

  StatusPanel = new TStatusPanel(this);
  StatusPanel->setMouseTracking(true);
  StatusPanel->installEventFilter(this);
  statusBar()->addWidget(StatusPanel, 1);
  statusBar()->setSizeGripEnabled(false);
  statusBar()->setFixedHeight(19 + 4);
  statusBar()->setMouseTracking(true);
  statusBar()->installEventFilter(this);
}

QAction* TRavenoxForm::ActionFor(NotifySwitch which) const {
  return toggles_[static_cast<std::size_t>(which)];
}

void TRavenoxForm::Toggle(QAction* action, NotifySwitch which) {
  // The click has already inverted the checked state; the setting follows it and sets it again.
  settings_.SetSwitch(which, action->isChecked());
}

// --- Creation, engine start, hide and show ----------------------------------------------------

void TRavenoxForm::FormCreate() {
  creating_ = true;
  try {
    LoadSettings(settings_, store_, *this);
  } catch (const std::exception& e) {
    creating_ = false;
    ShowNotRunning(e.what());
    return;
  }
  creating_ = false;
  QCoreApplication::postEvent(this, new QEvent(WM_START_PROCESSOR));
  if (HaveTray()) {
    TrayIcon->show();
  } else {
    tray_retry_.start();
  }
}

void TRavenoxForm::ShowNotRunning(const std::string& why) {
  // Without its settings the program cannot run: no engine, no tray icon, no watchdog. It must
  // not look as if it were running, and it says what to do.
  const QString folder = Q(store_.File().parent_path().string());
  Dialogs().Error(this, Q(why) + "\n\nRavenox cannot run without its settings file. Make sure " +
                            folder +
                            " can be written (it needs space, and to be yours), then start "
                            "Ravenox again.");
  setWindowTitle("Ravenox - not running");
  SetStatusText("Not running: the settings cannot be read or written (" + why + ")");
  for (QAction* a : {actMeetingNotification, actMorningMeeting, actEveningMeetingNotification,
                     actTaskNotification, actTaskPreReminder, actTaskReminder, actUrgentEmail,
                     actSettings, actConfigWizard, actHide, StartTestSend, actDebug})
    a->setEnabled(false);
  Label2->setText("Ravenox is not running: its settings file cannot be read or written in " +
                  folder + ". Make that folder writable, then start Ravenox again.");
}

void TRavenoxForm::StartProcessor() {
  engine_texts_closed_ = false;
  processor_ = std::make_unique<engine::TOutlookProcessor>(*this, options_.engine);
  processor_->DebugEnabled = true;
  if (settings_.SettingsLoaded()) HideToTray();
  Timer1.start();
}

bool TRavenoxForm::HaveTray() const {
  switch (options_.tray) {
    case TFormOptions::Tray::kThere:
      return true;
    case TFormOptions::Tray::kAbsent:
      return false;
    case TFormOptions::Tray::kAsTheDesktopSays:
      break;
  }
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TRavenoxForm::HideToTray() {
  if (!HaveTray()) {
    // Nowhere to hide into: minimised, the taskbar entry is the way back (and the state change
    // saves, as a hide does).
    showMinimized();
    return;
  }
  hide();  // fires FormHide
}

void TRavenoxForm::hideEvent(QHideEvent* e) {
  QMainWindow::hideEvent(e);
  if (!e->spontaneous() && !closed_) FormHide();
}

void TRavenoxForm::FormHide() {
  Save();
}

void TRavenoxForm::Save() {
  if (unconfigured_) return;
  try {
    SaveSettings(settings_, store_, *this);
  } catch (const std::exception& e) {
    Dialogs().Error(this, Q(e.what()));
    return;
  }
  emit SettingsSaved();
}

void TRavenoxForm::moveEvent(QMoveEvent* e) {
  QMainWindow::moveEvent(e);
  // The move a window is sent as it is first shown only repeats where it is (not yet placed by
  // the window manager): it is no place of the user's.
  if (isVisible() && e->pos() != e->oldPos() && !(windowState() & Qt::WindowMinimized)) {
    saved_top_ = y();
    saved_left_ = x();
  }
}

void TRavenoxForm::changeEvent(QEvent* e) {
  QMainWindow::changeEvent(e);
  if (e->type() != QEvent::WindowStateChange || !(windowState() & Qt::WindowMinimized)) return;
  if (!HaveTray()) {
    FormHide();  // minimised is the hidden state there
    return;
  }
  // The minimise command hides to the tray instead.
  QTimer::singleShot(0, this, [this] {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    HideToTray();
  });
}

void TRavenoxForm::WakeEngine() {
  // Settings the wizard set take effect at the engine's next pass, not after its longest wait.
  if (processor_ != nullptr) processor_->WakeEvent().Set();
}

void TRavenoxForm::TrayNotify(int mouse) {
  if (mouse != WM_LBUTTONDOWN && mouse != WM_RBUTTONDOWN) return;
  BringForward();
}

void TRavenoxForm::BringForward() {
  if (!isVisible() || (windowState() & Qt::WindowMinimized)) {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
  }
  raise();
  activateWindow();
}

bool TRavenoxForm::event(QEvent* e) {
  switch (static_cast<int>(e->type())) {
    case WM_OPEN_WIZARD:
      OpenWizard();
      return true;
    case WM_RELOAD_SETTINGS:
      // The run was cancelled: what its pages kept goes, the store's profile included.
      if (options_.store_setup != nullptr) options_.store_setup->Discard();
      try {
        LoadSettings(settings_, store_, *this);
      } catch (const std::exception& ex) {
        Dialogs().Error(this, Q(ex.what()));
      }
      WakeEngine();
      return true;
    case WM_SAVE_SETTINGS:
      unconfigured_ = false;  // the wizard was finished
      Save();
      if (options_.store_setup != nullptr) {
        const std::string error = options_.store_setup->Commit();
        if (!error.empty()) Dialogs().Error(this, Q(error));
        // The engine reads the store the page named from its next pass on.
        if (processor_ != nullptr) processor_->StoreChanged();
      }
      WakeEngine();
      return true;
    case WM_START_PROCESSOR:
      StartProcessor();
      return true;
    case WM_TRAY_NOTIFY:
      TrayNotify(static_cast<TTrayNotifyEvent*>(e)->lParam);
      return true;
    default:
      break;
  }
  return QMainWindow::event(e);
}

bool TRavenoxForm::eventFilter(QObject* watched, QEvent* e) {
  if ((watched == StatusPanel || watched == statusBar()) &&
      (e->type() == QEvent::MouseMove || e->type() == QEvent::Enter))
    StatusBar1MouseMove();
  return QMainWindow::eventFilter(watched, e);
}

void TRavenoxForm::StatusBar1MouseMove() {
  // Hovering the status bar shows the whole status text.
  statusBar()->setToolTip(StatusPanel->FullText());
  StatusPanel->setToolTip(StatusPanel->FullText());
}

void TStatusPanel::SetFullText(const QString& text) {
  full_ = text;
  setToolTip(text);
  Fit();
}

void TStatusPanel::resizeEvent(QResizeEvent* e) {
  QLabel::resizeEvent(e);
  Fit();
}

void TStatusPanel::Fit() {
  const QFontMetrics metrics(font());
  const int room = std::max(0, contentsRect().width() - 2);
  if (metrics.horizontalAdvance(full_) <= room) {
    setText(full_);
    return;
  }
  // Cut at the last word that leaves room for the dots, where there is one.
  const QString dots = "...";
  QString cut = metrics.elidedText(full_, Qt::ElideRight, room);
  cut.chop(cut.endsWith(QChar(0x2026)) ? 1 : 0);
  const int blank = cut.lastIndexOf(' ');
  if (blank > cut.size() / 2) cut.truncate(blank);
  while (!cut.isEmpty() && metrics.horizontalAdvance(cut + dots) > room) cut.chop(1);
  setText(cut.trimmed() + dots);
}

// --- Timers ------------------------------------------------------------------------------

void TRavenoxForm::Timer1Timer() {
  if (Timer1.isActive() && !processor_running_.load())
    Dialogs().Error(this, "Outlook Processor has died. Please Restart Application.");
}

void TRavenoxForm::KillMeNowTimer() {
  WMEndSession();
}

}  // namespace ravenox::shell
