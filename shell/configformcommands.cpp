// The main window's commands: the test message, the debug switch, help, and the wizard.
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include "shell/Artwork.h"
#include "shell/configformunit.h"
#include "wizard/NewAgentInstallerObj.h"

namespace ravenox::shell {

// --- Commands -----------------------------------------------------------------------------

void TRavenoxForm::actSettingsExecute() {
  std::string address;
  GetPhoneAddress(address);
  if (processor_ != nullptr) {
    processor_->RequestTestMessage(address, kTestMessageSubject, kTestMessageBody);
  }
}

void TRavenoxForm::StartTestSendExecute() {
  if (TestSender.isActive()) {
    TestSender.stop();
  } else {
    TestSender.start();
  }
}

void TRavenoxForm::actDebugExecute() {
  if (processor_ == nullptr) return;
  const bool on = !processor_->DebugEnabled.load();
  processor_->DebugEnabled = on;
  Dialogs().Information(this, on ? "Debugging Is On!!" : "Debugging Is Off!!");
}

void TRavenoxForm::actHelpExecute() {
  OpenHelp("");
}

void TRavenoxForm::actUpgradeCheckExecute() {
  OpenHelp("upgrade");
}

void TRavenoxForm::Label3Click() {
  OpenHelp("home");
}

void TRavenoxForm::OpenHelp(const QString& section) {
  const QString page = options_.help_page.empty() ? HelpPagePath() : Q(options_.help_page.string());
  if (page.isEmpty() || !QFileInfo::exists(page)) {
    Dialogs().Error(this, "The help page is not there. Ravenox looked for it at:\n" +
                              (page.isEmpty() ? HelpPagePlaces().join("\n") : page));
    return;
  }
  QUrl url = QUrl::fromLocalFile(page);
  if (!section.isEmpty()) url.setFragment(section);
  const QString nothing_opened =
      "No browser opened the help page. It is the file\n" + page + "\nOpen it in a browser.";
  // The desktop's opener, watched: it says when no browser took the page.
  const QString opener = QStandardPaths::findExecutable("xdg-open");
  if (opener.isEmpty()) {
    if (!QDesktopServices::openUrl(url)) Dialogs().Error(this, nothing_opened);
    return;
  }
  auto* process = new QProcess(this);
  connect(process, &QProcess::finished, this,
          [this, process, nothing_opened](int code, QProcess::ExitStatus status) {
            process->deleteLater();
            if (status != QProcess::NormalExit || code != 0) Dialogs().Error(this, nothing_opened);
          });
  connect(process, &QProcess::errorOccurred, this,
          [this, process, nothing_opened](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart) return;
            process->deleteLater();
            Dialogs().Error(this, nothing_opened);
          });
  process->start(opener, {url.toString()});
}

wizard::TMainForm* TRavenoxForm::Wizard() const {
  const auto* installer = wizard::TNewAgentInstaller::Instance();
  return installer != nullptr ? installer->MainForm() : nullptr;
}

void TRavenoxForm::OpenWizard() {
  auto* installer = wizard::TNewAgentInstaller::Instance();
  if (installer == nullptr) return;  // a program without a wizard sequence
  // One run at a time: a second request brings the open wizard forward rather than taking its
  // page away into a new window.
  if (wizard::TMainForm* open = Wizard(); open != nullptr && open->isVisible()) {
    open->setWindowState(open->windowState() & ~Qt::WindowMinimized);
    open->raise();
    open->activateWindow();
    return;
  }
  wizard::TWizardContext context;
  context.settings = &settings_;
  context.dialogs = dialogs_;
  context.help = [this](int) { OpenHelp("wizard"); };
  context.store = options_.store;
  context.store_setup = options_.store_setup;
  // Owned by this window and hidden when closed; it stays until this window goes.
  auto* form = new wizard::TMainForm(this, *installer, std::move(context));
  installer->SetMainForm(form);
}

void TRavenoxForm::actConfigWizardExecute() {
  QCoreApplication::postEvent(this, new QEvent(WM_OPEN_WIZARD));
}

}  // namespace ravenox::shell
