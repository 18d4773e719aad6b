// What the engine needs from the main window. The window implements it and carries calls made on
// the engine thread over to its own thread; tests implement it with a plain struct.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>

#include "base/DateTime.h"

namespace ravenox::engine {

class ProcessorHost {
 public:
  virtual ~ProcessorHost() = default;

  // Settings, read at each use; safe to call from the engine thread.
  virtual bool MeetingNotify() const = 0;
  virtual bool MorningNotify() const = 0;
  virtual bool EveningNotify() const = 0;
  virtual bool TaskNotify() const = 0;
  virtual bool TaskPreNotify() const = 0;
  virtual bool TaskReminder() const = 0;
  virtual bool UrgentEmail() const = 0;
  virtual int32_t TaskRemindPeriod() const = 0;
  virtual TDateTime EarlyTime() const = 0;
  virtual TDateTime LateTime() const = 0;
  // The one setting the engine writes (a period out of range becomes "Daily").
  virtual void SetTaskRemindPeriod(int32_t period) = 0;

  // Writes the phone's e-mail address into `address`, or leaves it untouched.
  virtual void GetPhoneAddress(std::string& address) = 0;
  // The first panel of the status line.
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetProcessorRunning(bool running) = 0;
  // Shows an error box; returns when the user has closed it.
  virtual void ShowException(const std::string& message) = 0;
  // Whether this host is the application's one main window.
  virtual bool IsApplicationMainWindow() const = 0;
};

// Whether a status text only counts progress ("Checking for New Appointments...17"): a console
// host's log leaves those out.
inline bool IsProgressText(const std::string& text) {
  const std::size_t dots = text.rfind("...");
  if (dots == std::string::npos || dots + 3 == text.size()) return false;
  for (std::size_t i = dots + 3; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// A host for tools that run the engine's operations without a window: every switch off, the
// default times, no phone address, and nothing shown.
class QuietHost final : public ProcessorHost {
 public:
  bool MeetingNotify() const override { return false; }
  bool MorningNotify() const override { return false; }
  bool EveningNotify() const override { return false; }
  bool TaskNotify() const override { return false; }
  bool TaskPreNotify() const override { return false; }
  bool TaskReminder() const override { return false; }
  bool UrgentEmail() const override { return false; }
  int32_t TaskRemindPeriod() const override { return 2; }
  TDateTime EarlyTime() const override { return 7.0 / 24; }
  TDateTime LateTime() const override { return 19.0 / 24; }
  void SetTaskRemindPeriod(int32_t) override {}
  void GetPhoneAddress(std::string&) override {}
  void SetStatusText(const std::string&) override {}
  void SetProcessorRunning(bool) override {}
  void ShowException(const std::string&) override {}
  bool IsApplicationMainWindow() const override { return true; }
};

}  // namespace ravenox::engine
