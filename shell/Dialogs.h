// The message boxes the main window shows, behind an interface so tests can answer them.
#pragma once

#include <QString>

#include "wizard/WizardHost.h"

class QWidget;

namespace ravenox::shell {

class TDialogs : public wizard::TWizardDialogs {
 public:
  // A plain message with an OK button.
  virtual void Message(QWidget* owner, const QString& caption, const QString& text) = 0;
  // An information box with an OK button.
  virtual void Information(QWidget* owner, const QString& text) = 0;
  // A Yes/No confirmation; true for Yes.
  virtual bool Confirm(QWidget* owner, const QString& text) = 0;
};

// The toolkit's standard boxes. They do not block one another: a box may open while another is
// still shown, as the watchdog's boxes do.
class TMessageBoxes final : public TDialogs {
 public:
  void Message(QWidget* owner, const QString& caption, const QString& text) override;
  void Information(QWidget* owner, const QString& text) override;
  void Error(QWidget* owner, const QString& text) override;
  bool Confirm(QWidget* owner, const QString& text) override;
  bool Warning(QWidget* owner, const QString& caption, const QString& text) override;
};

}  // namespace ravenox::shell
