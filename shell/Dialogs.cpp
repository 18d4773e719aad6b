#include "shell/Dialogs.h"

#include <QMessageBox>

namespace ravenox::shell {

void TMessageBoxes::Message(QWidget* owner, const QString& caption, const QString& text) {
  QMessageBox::information(owner, caption, text);
}

void TMessageBoxes::Information(QWidget* owner, const QString& text) {
  QMessageBox::information(owner, "Information", text);
}

void TMessageBoxes::Error(QWidget* owner, const QString& text) {
  QMessageBox::critical(owner, "Error", text);
}

bool TMessageBoxes::Confirm(QWidget* owner, const QString& text) {
  return QMessageBox::question(owner, "Confirm", text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

bool TMessageBoxes::Warning(QWidget* owner, const QString& caption, const QString& text) {
  return QMessageBox::warning(owner, caption, text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

}  // namespace ravenox::shell
