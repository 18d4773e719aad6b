// The welcome page: what the wizard is for and how to leave it.
#pragma once

#include <QPlainTextEdit>
#include <functional>

#include "wizard/BaseFrame.h"
#include "wizard/WizardHost.h"

namespace ravenox::wizard {

// The welcome text, line by line, for the store this build reads.
QStringList WelcomeLines(TStoreKind store);

// The text as the memo shows it: the lines as they are when each fits in `room` pixels (`width`
// measures one); otherwise each paragraph's lines joined into one, so that the memo wraps a
// paragraph evenly instead of breaking every line once more.
QString FittedText(const QStringList& lines, const std::function<int(const QString&)>& width,
                   int room);

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
