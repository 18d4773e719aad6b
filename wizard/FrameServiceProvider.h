// The carrier page.
#pragma once

#include "wizard/BaseFrame.h"
#include "wizard/WizardControls.h"

namespace ravenox::wizard {

class TServiceProvider final : public TGenericFrame {
  Q_OBJECT

 public:
  explicit TServiceProvider(TBaseInstaller& installer);
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  TRadioGroup* rdoServiceProvider;
  void rdoServiceProviderClick();
  void PageShown() override;
  void DoNext() override;
};

}  // namespace ravenox::wizard
