// The welcome page: what the wizard is for and how to leave it.
#pragma once

#include <QPlainTextEdit>

#include "wizard/BaseFrame.h"
#include "wizard/WizardHost.h"

namespace ravenox::wizard {

// The welcome text, line by line, for the store this build reads.
QStringList WelcomeLines(TStoreKind store);

class TAgentInitialFrame final : public TGenericFrame {
  Q_OBJECT

 public:
  TAgentInitialFrame(TBaseInstaller& installer, TStoreKind store);
  QPlainTextEdit* MessageMemo;
  void MessageMemoEnter();
  void PageShown() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override;
};

}  // namespace ravenox::wizard
