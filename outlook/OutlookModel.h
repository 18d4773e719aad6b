// The part of Outlook's object model the engine uses, member for member. A backend implements
// these interfaces; any member may throw AutomationError.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/DateTime.h"

namespace outlook {

using ravenox::TDateTime;

// A failed automation call. The engine counts these and reconnects.
class AutomationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A mail that could not be accepted for sending now, with nothing changed (the outbox could not be
// written: a full disk): it may be sent again later as it is.
class SendLater : public AutomationError {
 public:
  using AutomationError::AutomationError;
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

// Meeting and response states.
inline constexpr int olMeetingCanceled = 5;
inline constexpr int olMeetingReceivedAndCanceled = 7;
inline constexpr int olResponseDeclined = 4;

// Any item a collection hands out. The engine asks for the kind it expects; an item of another kind
// answers like a missing member does: with an AutomationError.
class OutlookItem {
 public:
  virtual ~OutlookItem() = default;
};

class AppointmentItem;
class Exceptions;

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
  // Which of the masked days of the month (1-4, 5 = the last) the n-th weekday patterns take.
  virtual int Instance() = 0;
  // The occurrence the pattern places on the day of `date`: a changed one with its own start and
  // texts, wherever it was moved. Throws AutomationError when the series has none that day (it
  // was deleted, or the pattern's arithmetic meets a day the series skips).
  virtual std::shared_ptr<AppointmentItem> GetOccurrence(TDateTime date) = 0;
  // The occurrences changed or deleted.
  virtual std::shared_ptr<outlook::Exceptions> Exceptions() = 0;

  // Not Outlook members. The days and times of a series count in the calendar of the time zone it
  // was made in, which need not be the user's: the pattern's members, GetOccurrence's argument
  // and an exception's OriginalDate are in that calendar; an item's Start is in the user's.
  // The wall-clock time in the pattern's calendar at the user's local time `local`.
  virtual TDateTime PatternTime(TDateTime local) { return local; }
  // The weekday on which the pattern's weeks begin (1 Sunday ... 7 Saturday), which decides the
  // active weeks of a weekly pattern whose interval is above one.
  virtual int FirstDayOfWeek() { return 1; }
};

class Exception {
 public:
  virtual ~Exception() = default;
  // The start the occurrence had in the series, in the pattern's calendar.
  virtual TDateTime OriginalDate() = 0;
  virtual bool Deleted() = 0;
  // The occurrence as it now is; an AutomationError for a deleted one.
  virtual std::shared_ptr<outlook::AppointmentItem> AppointmentItem() = 0;
};

class Exceptions {
 public:
  virtual ~Exceptions() = default;
  virtual int Count() = 0;
  // 1-based.
  virtual std::shared_ptr<Exception> Item(int index) = 0;
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
  virtual bool ReminderSet() = 0;
  virtual bool AllDayEvent() = 0;
  virtual int MeetingStatus() = 0;   // olMeetingCanceled when the organiser called it off
  virtual int ResponseStatus() = 0;  // olResponseDeclined when the user said no
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

// Exceptions gathered by a backend into a list.
class ExceptionList final : public Exceptions {
 public:
  std::vector<std::shared_ptr<Exception>> list;
  int Count() override { return static_cast<int>(list.size()); }
  std::shared_ptr<Exception> Item(int index) override {
    if (index < 1 || index > Count()) throw AutomationError("Array index out of bounds.");
    return list[static_cast<std::size_t>(index - 1)];
  }
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
  // Not an Outlook member. What the mail tells of: a store that keeps a queue accepts one mail per
  // identity, and takes a second send of one it holds or has sent for done, so a text sent again
  // after a crash goes out once. Empty (the default): every send is a new mail.
  virtual void SetIdentity(const std::string& identity) { (void)identity; }
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
