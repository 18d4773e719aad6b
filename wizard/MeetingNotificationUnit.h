// The meetings and urgent e-mail page.
#pragma once

#include <QCheckBox>

#include "wizard/BaseFrame.h"

namespace ravenox::wizard {

class TMeetingNotification final : public TGenericFrame {
  Q_OBJECT

 public:
  explicit TMeetingNotification(TBaseInstaller& installer);
  QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6;
  QCheckBox* cbMeetingNotify;
  QCheckBox* cbMorningEveningNotify;
  QCheckBox* cbEveningMeetingNotify;
  QCheckBox* cbUrgentEmail;
  void PageShown() override;
  void DoNext() override;
};

}  // namespace ravenox::wizard
