// The user's configuration as the program holds it in memory. The main thread writes it; the
// engine thread reads it at every use, so each value is read whole (atomics, strings under a lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "base/DateTime.h"

namespace ravenox::settings {

// The seven notification switches, in the order the store keeps them.
enum class NotifySwitch {
  kMeetingNotify,
  kMorningNotify,
  kEveningNotify,
  kTaskNotify,
  kTaskPreNotify,
  kTaskReminder,
  kUrgentEmail,
};
inline constexpr int kNotifySwitchCount = 7;
const char* SwitchName(NotifySwitch s);

inline constexpr const char* kSettingsKey = "Software\\Brindlemoor\\Ravenox";
inline constexpr const char* kSettingsVersion = "01.01.00.001";
inline constexpr int kDefaultService = 4;           // Sprint PCS
inline constexpr int kDefaultTaskRemindPeriod = 2;  // Daily
inline constexpr double kDefaultEarlyTime = 7.0 / 24.0;
inline constexpr double kDefaultLateTime = 19.0 / 24.0;

// The test message, from the menu and from the wizard alike.
inline constexpr const char* kTestMessageSubject = "Ravenox Test message";
inline constexpr const char* kTestMessageBody =
    "If you got this message Ravenox Notification is working.";

class TSettings {
 public:
  // Called on the writer's thread after a switch is written, so the window can show it checked.
  using SwitchChanged = std::function<void(NotifySwitch, bool)>;

  TSettings() = default;
  TSettings(const TSettings&) = delete;
  TSettings& operator=(const TSettings&) = delete;

  bool Switch(NotifySwitch s) const { return switches_[Index(s)].load(); }
  void SetSwitch(NotifySwitch s, bool on);
  void OnSwitchChanged(SwitchChanged callback);

  bool MeetingNotify() const { return Switch(NotifySwitch::kMeetingNotify); }
  bool MorningNotify() const { return Switch(NotifySwitch::kMorningNotify); }
  bool EveningNotify() const { return Switch(NotifySwitch::kEveningNotify); }
  bool TaskNotify() const { return Switch(NotifySwitch::kTaskNotify); }
  bool TaskPreNotify() const { return Switch(NotifySwitch::kTaskPreNotify); }
  bool TaskReminder() const { return Switch(NotifySwitch::kTaskReminder); }
  bool UrgentEmail() const { return Switch(NotifySwitch::kUrgentEmail); }

  int32_t TaskRemindPeriod() const { return task_remind_period_.load(); }
  void SetTaskRemindPeriod(int32_t v) { task_remind_period_.store(v); }
  TDateTime EarlyTime() const { return early_time_.load(); }
  void SetEarlyTime(TDateTime v) { early_time_.store(v.Value()); }
  TDateTime LateTime() const { return late_time_.load(); }
  void SetLateTime(TDateTime v) { late_time_.store(v.Value()); }
  uint8_t Service() const { return service_.load(); }
  void SetService(uint8_t v) { service_.store(v); }

  std::string Pin() const;
  void SetPin(std::string v);
  std::string CustomAddr() const;
  void SetCustomAddr(std::string v);
  std::string CustomEmail() const;
  void SetCustomEmail(std::string v);

  // Set at the end of a load that read every value; never cleared.
  bool SettingsLoaded() const { return settings_loaded_.load(); }
  void MarkLoaded() { settings_loaded_.store(true); }

 private:
  static std::size_t Index(NotifySwitch s) { return static_cast<std::size_t>(s); }

  std::atomic<bool> switches_[kNotifySwitchCount] = {};
  std::atomic<int32_t> task_remind_period_{0};
  std::atomic<double> early_time_{0.0};
  std::atomic<double> late_time_{0.0};
  std::atomic<uint8_t> service_{0};
  std::atomic<bool> settings_loaded_{false};

  mutable std::mutex strings_mutex_;
  std::string pin_, custom_addr_, custom_email_;

  std::mutex callback_mutex_;
  SwitchChanged on_switch_changed_;
};

}  // namespace ravenox::settings
