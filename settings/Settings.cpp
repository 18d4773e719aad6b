#include "settings/Settings.h"

namespace ravenox::settings {

const char* SwitchName(NotifySwitch s) {
  switch (s) {
    case NotifySwitch::kMeetingNotify:
      return "MeetingNotify";
    case NotifySwitch::kMorningNotify:
      return "MorningNotify";
    case NotifySwitch::kEveningNotify:
      return "EveningNotify";
    case NotifySwitch::kTaskNotify:
      return "TaskNotify";
    case NotifySwitch::kTaskPreNotify:
      return "TaskPreNotify";
    case NotifySwitch::kTaskReminder:
      return "TaskReminder";
    case NotifySwitch::kUrgentEmail:
      return "UrgentEmail";
  }
  return "";
}

void TSettings::SetSwitch(NotifySwitch s, bool on) {
  switches_[Index(s)].store(on);
  SwitchChanged callback;
  {
    std::lock_guard lock(callback_mutex_);
    callback = on_switch_changed_;
  }
  if (callback) callback(s, on);
}

void TSettings::OnSwitchChanged(SwitchChanged callback) {
  std::lock_guard lock(callback_mutex_);
  on_switch_changed_ = std::move(callback);
}

std::string TSettings::Pin() const {
  std::lock_guard lock(strings_mutex_);
  return pin_;
}
void TSettings::SetPin(std::string v) {
  std::lock_guard lock(strings_mutex_);
  pin_ = std::move(v);
}
std::string TSettings::CustomAddr() const {
  std::lock_guard lock(strings_mutex_);
  return custom_addr_;
}
void TSettings::SetCustomAddr(std::string v) {
  std::lock_guard lock(strings_mutex_);
  custom_addr_ = std::move(v);
}
std::string TSettings::CustomEmail() const {
  std::lock_guard lock(strings_mutex_);
  return custom_email_;
}
void TSettings::SetCustomEmail(std::string v) {
  std::lock_guard lock(strings_mutex_);
  custom_email_ = std::move(v);
}

}  // namespace ravenox::settings
