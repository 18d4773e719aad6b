#include "wizard/BaseInstaller.h"

#include <QLayout>

#include "wizard/BaseFrame.h"
#include "wizard/InstallerMain.h"

namespace ravenox::wizard {

TBaseInstaller::~TBaseInstaller() {
  DeletePage(ImagePage);
}

void TBaseInstaller::DeletePage(QWidget* page) {
  if (page != nullptr && page->parent() == nullptr) delete page;
}

QString TBaseInstaller::GetStatusText() {
  return main_form_ != nullptr ? main_form_->StatusBar->PanelText() : QString();
}

void TBaseInstaller::SetStatusText(const QString& text) {
  if (main_form_ == nullptr) return;
  TWizardStatusBar& bar = *main_form_->StatusBar;
  if (text.contains("*** ERROR")) {
    bar.SetPanelText("");
    bar.repaint();
    main_form_->Dialogs().Error(main_form_, text.mid(kErrorPrefix));
    return;
  }
  bar.SetPanelText(text);
  bar.repaint();
}

void TBaseInstaller::CancelWizard() {
  if (main_form_ != nullptr) main_form_->close();
}

void TBaseInstaller::FinishWizard() {
  Finished = true;
  if (main_form_ != nullptr) main_form_->close();
}

void TBaseInstaller::Start() {
  Finished = false;
  CreatePages();
  // The toolkit gives each window its own taskbar entry, which shows the window's own caption.
  if (ImagePage != nullptr && main_form_ != nullptr) MountFrame(ImagePage, main_form_->ImagePanel);
  ShowPage(FirstPage());
}

void TBaseInstaller::ShowPage(TGenericFrame* page) {
  SetStatusText("");
  if (CurrentPage != nullptr) {
    CurrentPage->hide();
    CurrentPage->setParent(nullptr);  // out of the window, still alive
  }
  if (main_form_ != nullptr) MountFrame(page, main_form_->MainPanel);
  CurrentPage = page;
  page->PageShown();
}

void TBaseInstaller::MountFrame(QWidget* frame, QWidget* panel) {
  if (frame->parentWidget() != panel) {
    frame->setParent(panel);
    if (panel->layout() != nullptr) panel->layout()->addWidget(frame);
  }
  frame->show();
}

}  // namespace ravenox::wizard
