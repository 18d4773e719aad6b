// The main window's ending (closing, the session ending, the engine stopped) and the calls the
// engine makes on it.
#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QScreen>
#include <QThread>

#include "shell/configformunit.h"

namespace ravenox::shell {
namespace {

constexpr int kStopRounds = 11;
constexpr unsigned long kStopRoundMs = 54;

}  // namespace

// --- Closing ------------------------------------------------------------------------------

void TRavenoxForm::actExitExecute() {
  close();
}

void TRavenoxForm::actHideExecute() {
  HideToTray();
}

void TRavenoxForm::closeEvent(QCloseEvent* e) {
  if (closed_) {
    e->accept();
    return;
  }
  if (!FormCloseQuery()) {
    e->ignore();
    HideToTray();
    return;
  }
  e->accept();
  FormClose();
}

bool TRavenoxForm::FormCloseQuery() {
  SetStatusText("Check for Shutdown.");
  TestSender.stop();
  if (session_ending_) return true;
  return Dialogs().Confirm(this, "Do you really want to stop Ravenox?");
}

void TRavenoxForm::FormClose() {
  StopProcessor(true);
  closed_ = true;
  QCoreApplication::quit();
}

void TRavenoxForm::StopProcessor(bool process_messages) {
  Timer1.stop();
  if (processor_ == nullptr) return;
  processor_->Stop();
  processor_->Wake();
  engine_texts_closed_ = true;
  SetStatusText("Shutting Download Outlook Processing System....Please Wait.");
  StatusPanel->repaint();
  for (int round = 0; round < kStopRounds && processor_running_.load(); ++round) {
    QThread::msleep(kStopRoundMs);
    if (process_messages) {
      QCoreApplication::processEvents();
    } else {
      processor_->Wake();
    }
  }
  {
    // An error box the engine still waits on must not hold its thread now.
    std::lock_guard lock(boxes_mutex_);
    going_ = true;
  }
  boxes_closed_.notify_all();
  try {
    processor_.reset();  // waits for the engine's thread
  } catch (const std::exception& e) {
    qWarning("***ERROR:%s", e.what());
  }
}

void TRavenoxForm::FormDestroy() {
  if (TrayIcon != nullptr) TrayIcon->hide();
}

void TRavenoxForm::WMQueryEndSession() {
  session_ending_ = true;
  FormCloseQuery();  // no question now; the repeating test stops
  KillMeNow.start();
  // The box does not wait for anyone: half a second later the program is gone.
  auto* box = new QMessageBox(QMessageBox::NoIcon, "", "Shutting Down", QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void TRavenoxForm::WMEndSession() {
  if (closed_) return;
  StopProcessor(false);
  try {
    if (!unconfigured_) SaveSettings(settings_, store_, *this);
  } catch (const std::exception& e) {
    qWarning("%s", e.what());
  }
  closed_ = true;
  FormDestroy();
  QCoreApplication::exit(0);
}

// --- The engine's calls --------------------------------------------------------------------

void TRavenoxForm::SetStatusText(const std::string& text) {
  // Queued in order from any thread: the last text written is the one shown.
  const bool direct = QThread::currentThread() == thread();
  QMetaObject::invokeMethod(
      this,
      [this, direct, t = Q(text)] {
        if (!direct && engine_texts_closed_) return;
        StatusPanel->SetFullText(t);
      },
      direct ? Qt::DirectConnection : Qt::QueuedConnection);
}

QString TRavenoxForm::StatusText() const {
  return StatusPanel->FullText();
}

void TRavenoxForm::ShowException(const std::string& message) {
  if (QThread::currentThread() == thread()) {
    Dialogs().Error(this, Q(message));
    return;
  }
  // From the engine's thread: shown here, the engine waiting until the box is closed.
  std::unique_lock lock(boxes_mutex_);
  if (going_) return;
  const uint64_t mine = boxes_shown_ + 1;
  QMetaObject::invokeMethod(
      this,
      [this, text = Q(message)] {
        Dialogs().Error(this, text);
        {
          std::lock_guard inner(boxes_mutex_);
          ++boxes_shown_;
        }
        boxes_closed_.notify_all();
      },
      Qt::QueuedConnection);
  boxes_closed_.wait(lock, [&] { return boxes_shown_ >= mine || going_; });
}

// --- Loading the settings into the window --------------------------------------------------

void TRavenoxForm::ShowMessage(const std::string& text) {
  Dialogs().Message(this, "Ravenox", Q(text));
}

void TRavenoxForm::ShowInformation(const std::string& text) {
  Dialogs().Information(this, Q(text));
}

void TRavenoxForm::PostOpenWizard() {
  unconfigured_ = true;  // only a first start asks for the wizard from here
  QCoreApplication::postEvent(this, new QEvent(WM_OPEN_WIZARD));
}

int32_t TRavenoxForm::Top() const {
  return saved_top_;
}

int32_t TRavenoxForm::Left() const {
  return saved_left_;
}

void TRavenoxForm::SetTop(int32_t top) {
  // At creation the system's placement wins; a later reload moves the window.
  saved_top_ = top;
  if (!creating_) move(x(), top);
}

void TRavenoxForm::SetLeft(int32_t left) {
  saved_left_ = left;
  if (!creating_) move(left, y());
}

int32_t TRavenoxForm::ScreenWidth() const {
  const QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  return s != nullptr ? s->geometry().width() : 0;
}

int32_t TRavenoxForm::ScreenHeight() const {
  const QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  return s != nullptr ? s->geometry().height() : 0;
}

}  // namespace ravenox::shell
