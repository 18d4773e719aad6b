// The Cingular region page: the region decides the gateway domain.
#pragma once

#include "wizard/BaseFrame.h"
#include "wizard/WizardControls.h"

namespace ravenox::wizard {

class TCinglarServiceSelect final : public TGenericFrame {
  Q_OBJECT

 public:
  explicit TCinglarServiceSelect(TBaseInstaller& installer);
  QLabel* Label1;
  TRadioGroup* rdgrpCinglar;
  void rdgrpCinglarClick();
  void PageShown() override;
  void DoNext() override;
};

}  // namespace ravenox::wizard
