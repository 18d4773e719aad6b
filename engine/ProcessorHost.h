// What the engine needs from the main window. The window implements it and carries calls made on
// the engine thread over to its own thread; tests implement it with a plain struct.
#pragma once

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

}  // namespace ravenox::engine
