// The part of Outlook's object model the engine uses, member for member. A backend implements
// these interfaces; any member may throw AutomationError.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "base/DateTime.h"

namespace outlook {

using ravenox::TDateTime;

// A failed automation call. The engine counts these and reconnects.
class AutomationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Default folder numbers and item types.
inline constexpr int olFolderInbox = 6;
inline constexpr int olFolderCalendar = 9;
inline constexpr int olFolderTasks = 13;
inline constexpr int olMailItem = 0;
inline constexpr int olImportanceHigh = 2;

// Recurrence types.
inline constexpr int olRecursDaily = 0;
inline constexpr int olRecursWeekly = 1;
inline constexpr int olRecursMonthly = 2;
inline constexpr int olRecursMonthNth = 3;
inline constexpr int olRecursYearly = 5;
inline constexpr int olRecursYearNth = 6;

// Any item a collection hands out. The engine asks for the kind it expects; an item of another kind
// answers like a missing member does: with an AutomationError.
class OutlookItem {
 public:
  virtual ~OutlookItem() = default;
};

class RecurrencePattern {
 public:
  virtual ~RecurrencePattern() = default;
  virtual int RecurrenceType() = 0;
  virtual int Interval() = 0;
  virtual int DayOfWeekMask() = 0;  // Sunday 1 ... Saturday 64
  virtual int DayOfMonth() = 0;
  virtual int MonthOfYear() = 0;
  virtual int Occurrences() = 0;
  virtual TDateTime PatternStartDate() = 0;
  virtual TDateTime PatternEndDate() = 0;
  virtual bool NoEndDate() = 0;
  virtual TDateTime StartTime() = 0;
};

class AppointmentItem : public virtual OutlookItem {
 public:
  virtual std::string Subject() = 0;
  virtual TDateTime Start() = 0;
  virtual std::string Location() = 0;
  virtual std::string Body() = 0;
  virtual bool IsRecurring() = 0;
  virtual std::shared_ptr<RecurrencePattern> GetRecurrencePattern() = 0;
  virtual int ReminderMinutesBeforeStart() = 0;
};

class TaskItem : public virtual OutlookItem {
 public:
  virtual std::string Subject() = 0;
  virtual TDateTime StartDate() = 0;
  virtual TDateTime DueDate() = 0;
  virtual bool ReminderSet() = 0;
  virtual TDateTime ReminderTime() = 0;
  virtual bool Complete() = 0;
  virtual bool IsRecurring() = 0;
  // Moves the task on to its next instance; false when Outlook refuses.
  virtual bool SkipRecurrence() = 0;
};

class MailItem : public virtual OutlookItem {
 public:
  // Received mail.
  virtual bool UnRead() = 0;
  virtual int Importance() = 0;
  virtual TDateTime ReceivedTime() = 0;
  virtual std::string Subject() = 0;
  virtual std::string SenderName() = 0;
  // New mail: plain text, one recipient.
  virtual void SetTo(const std::string& to) = 0;
  virtual void SetSubject(const std::string& subject) = 0;
  virtual void SetBody(const std::string& body) = 0;
  // Success means the mail was accepted for sending.
  virtual void Send() = 0;
};

class Items {
 public:
  virtual ~Items() = default;
  virtual int Count() = 0;
  // 1-based; may return null.
  virtual std::shared_ptr<OutlookItem> Item(int index) = 0;
};

class MAPIFolder {
 public:
  virtual ~MAPIFolder() = default;
  virtual std::shared_ptr<outlook::Items> Items() = 0;
  virtual int UnReadItemCount() = 0;
  // Why part of the folder could not be read at the last Count (a source file that is missing, a
  // folder not mounted), or empty when all of it was. Not an Outlook member: a backend that
  // gathers a folder from several sources says here what it had to leave out.
  virtual std::string Problem() { return {}; }
};

class NameSpace {
 public:
  virtual ~NameSpace() = default;
  // May return null.
  virtual std::shared_ptr<MAPIFolder> GetDefaultFolder(int folder) = 0;
};

class Application {
 public:
  virtual ~Application() = default;
  virtual std::shared_ptr<NameSpace> GetNamespace(const std::string& type) = 0;
  virtual std::shared_ptr<OutlookItem> CreateItem(int type) = 0;
  virtual void Quit() = 0;
};

// The item as the kind the caller expects, or an AutomationError when it is of another kind.
template <typename T>
std::shared_ptr<T> As(const std::shared_ptr<OutlookItem>& item) {
  auto typed = std::dynamic_pointer_cast<T>(item);
  if (item != nullptr && typed == nullptr) throw AutomationError("Unknown name.");
  return typed;
}

}  // namespace outlook
