// The settings side of what the engine asks of the main window: the switches, times and period it
// reads at each use, and the phone's address. The window adds the status line, the message boxes
// and the running flag.
#pragma once

#include "engine/ProcessorHost.h"
#include "settings/Carriers.h"
#include "settings/Settings.h"

namespace ravenox::settings {

class TSettingsHost : public engine::ProcessorHost {
 public:
  explicit TSettingsHost(TSettings& settings) : settings_(settings) {}

  bool MeetingNotify() const override { return settings_.MeetingNotify(); }
  bool MorningNotify() const override { return settings_.MorningNotify(); }
  bool EveningNotify() const override { return settings_.EveningNotify(); }
  bool TaskNotify() const override { return settings_.TaskNotify(); }
  bool TaskPreNotify() const override { return settings_.TaskPreNotify(); }
  bool TaskReminder() const override { return settings_.TaskReminder(); }
  bool UrgentEmail() const override { return settings_.UrgentEmail(); }
  int32_t TaskRemindPeriod() const override { return settings_.TaskRemindPeriod(); }
  TDateTime EarlyTime() const override { return settings_.EarlyTime(); }
  TDateTime LateTime() const override { return settings_.LateTime(); }
  void SetTaskRemindPeriod(int32_t period) override { settings_.SetTaskRemindPeriod(period); }
  void GetPhoneAddress(std::string& address) override {
    settings::GetPhoneAddress(settings_, address);
  }

 protected:
  TSettings& settings_;
};

}  // namespace ravenox::settings
