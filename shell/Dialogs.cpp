#include "shell/Dialogs.h"

#include <QMessageBox>
#include <QPointer>

namespace ravenox::shell {
namespace {

// The keyboard goes back to the window the box belonged to when the box closes. A window manager
// does this by itself; without one (or with one that does not) it would be left nowhere.
class GiveBack {
 public:
  explicit GiveBack(QWidget* owner) : owner_(owner) {}
  GiveBack(const GiveBack&) = delete;
  GiveBack& operator=(const GiveBack&) = delete;
  ~GiveBack() {
    if (owner_ != nullptr && owner_->window()->isVisible()) owner_->window()->activateWindow();
  }

 private:
  QPointer<QWidget> owner_;
};

}  // namespace

void TMessageBoxes::Message(QWidget* owner, const QString& caption, const QString& text) {
  GiveBack back(owner);
  QMessageBox::information(owner, caption, text);
}

void TMessageBoxes::Information(QWidget* owner, const QString& text) {
  GiveBack back(owner);
  QMessageBox::information(owner, "Information", text);
}

void TMessageBoxes::Error(QWidget* owner, const QString& text) {
  GiveBack back(owner);
  QMessageBox::critical(owner, "Error", text);
}

bool TMessageBoxes::Confirm(QWidget* owner, const QString& text) {
  GiveBack back(owner);
  return QMessageBox::question(owner, "Confirm", text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

bool TMessageBoxes::Warning(QWidget* owner, const QString& caption, const QString& text) {
  GiveBack back(owner);
  return QMessageBox::warning(owner, caption, text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

}  // namespace ravenox::shell
