// An in-memory Outlook for tests: scripted calendar, task and inbox items, a record of every member
// called, failure injection on any member (by name, e.g. "Mail.Send" or "Items.Item") and on
// connecting ("Connect").
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "outlook/OutlookApplication.h"
#include "outlook/OutlookModel.h"

namespace outlook::fake {

class Faults {
 public:
  // The next `times` calls of `member` throw AutomationError(message); times < 0 means every call.
  void FailOn(const std::string& member, int times = -1,
              const std::string& message = "The operation failed.");
  void Clear(const std::string& member);
  // Records the call and throws if a failure is scheduled for it.
  void Check(const std::string& member);
  std::vector<std::string> Calls() const;
  int CountOf(const std::string& member) const;
  void ClearCalls();
  // Runs on every call, after recording it and before any scheduled failure.
  void SetHook(std::function<void(const std::string&)> hook);

 private:
  struct Plan {
    int times;
    std::string message;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Plan> plans_;
  std::vector<std::string> calls_;
  std::function<void(const std::string&)> hook_;
};

class FakeAppointment;

class FakePattern final : public RecurrencePattern {
 public:
  FakePattern(std::shared_ptr<Faults> faults, FakeAppointment* owner = nullptr)
      : faults_(std::move(faults)), owner_(owner) {}
  int type = olRecursDaily, interval = 1, day_of_week_mask = 0, day_of_month = 0, month_of_year = 0,
      occurrences = 0, instance = 0, first_day_of_week = 1;
  TDateTime pattern_start_date, pattern_end_date, start_time;
  bool no_end_date = true;
  // How far the pattern's calendar is ahead of the user's, in days.
  double time_shift = 0.0;
  // Exceptions, by the day of the occurrence in the series: deleted ones, and changed ones as
  // they now are.
  std::vector<TDateTime> deleted;
  std::map<int64_t, std::shared_ptr<FakeAppointment>> changed;  // key: whole days

  int RecurrenceType() override { return Get("RecurrenceType", type); }
  int Interval() override { return Get("Interval", interval); }
  int DayOfWeekMask() override { return Get("DayOfWeekMask", day_of_week_mask); }
  int DayOfMonth() override { return Get("DayOfMonth", day_of_month); }
  int MonthOfYear() override { return Get("MonthOfYear", month_of_year); }
  int Occurrences() override { return Get("Occurrences", occurrences); }
  TDateTime PatternStartDate() override { return Get("PatternStartDate", pattern_start_date); }
  TDateTime PatternEndDate() override { return Get("PatternEndDate", pattern_end_date); }
  bool NoEndDate() override { return Get("NoEndDate", no_end_date); }
  TDateTime StartTime() override { return Get("StartTime", start_time); }
  int Instance() override { return Get("Instance", instance); }
  int FirstDayOfWeek() override { return Get("FirstDayOfWeek", first_day_of_week); }
  TDateTime PatternTime(TDateTime local) override {
    faults_->Check("Pattern.PatternTime");
    return local + time_shift;
  }
  // The occurrence of that day: a changed one as it is, any other a copy of the series item at
  // the day's start time. Any day is taken for one of the series.
  std::shared_ptr<AppointmentItem> GetOccurrence(TDateTime date) override;
  std::shared_ptr<outlook::Exceptions> Exceptions() override;
  void ChangeOccurrence(TDateTime day, std::shared_ptr<FakeAppointment> occurrence);

 private:
  template <typename T>
  T Get(const char* member, const T& value) {
    faults_->Check(std::string("Pattern.") + member);
    return value;
  }
  std::shared_ptr<Faults> faults_;
  FakeAppointment* owner_;
};

class FakeAppointment final : public AppointmentItem {
 public:
  explicit FakeAppointment(std::shared_ptr<Faults> faults)
      : pattern(std::make_shared<FakePattern>(faults, this)), faults_(std::move(faults)) {}
  std::string subject, location, body;
  TDateTime start;
  bool is_recurring = false;
  int reminder_minutes = 15;
  bool reminder_set = true, all_day = false;
  int meeting_status = 0, response_status = 0;
  std::shared_ptr<FakePattern> pattern;

  std::string Subject() override { return Get("Subject", subject); }
  TDateTime Start() override { return Get("Start", start); }
  std::string Location() override { return Get("Location", location); }
  std::string Body() override { return Get("Body", body); }
  bool IsRecurring() override { return Get("IsRecurring", is_recurring); }
  std::shared_ptr<RecurrencePattern> GetRecurrencePattern() override {
    faults_->Check("Appointment.GetRecurrencePattern");
    return pattern;
  }
  int ReminderMinutesBeforeStart() override {
    return Get("ReminderMinutesBeforeStart", reminder_minutes);
  }
  bool ReminderSet() override { return Get("ReminderSet", reminder_set); }
  bool AllDayEvent() override { return Get("AllDayEvent", all_day); }
  int MeetingStatus() override { return Get("MeetingStatus", meeting_status); }
  int ResponseStatus() override { return Get("ResponseStatus", response_status); }
  const std::shared_ptr<Faults>& faults() const { return faults_; }

 private:
  template <typename T>
  T Get(const char* member, const T& value) {
    faults_->Check(std::string("Appointment.") + member);
    return value;
  }
  std::shared_ptr<Faults> faults_;
};

class FakeTask final : public TaskItem {
 public:
  explicit FakeTask(std::shared_ptr<Faults> faults) : faults_(std::move(faults)) {}
  std::string subject;
  TDateTime start_date = kNoDateValue, due_date = kNoDateValue, reminder_time = kNoDateValue;
  bool reminder_set = false, complete = false, is_recurring = false;
  // What SkipRecurrence does to the task; by default it moves the dates on by `skip_days`.
  double skip_days = 7;
  bool skip_refused = false;
  std::function<void(FakeTask&)> on_skip;

  std::string Subject() override { return Get("Subject", subject); }
  TDateTime StartDate() override { return Get("StartDate", start_date); }
  TDateTime DueDate() override { return Get("DueDate", due_date); }
  bool ReminderSet() override { return Get("ReminderSet", reminder_set); }
  TDateTime ReminderTime() override { return Get("ReminderTime", reminder_time); }
  bool Complete() override { return Get("Complete", complete); }
  bool IsRecurring() override { return Get("IsRecurring", is_recurring); }
  bool SkipRecurrence() override;

  static constexpr double kNoDateValue = 949998.0;

 private:
  template <typename T>
  T Get(const char* member, const T& value) {
    faults_->Check(std::string("Task.") + member);
    return value;
  }
  std::shared_ptr<Faults> faults_;
};

struct SentMail {
  std::string to, subject, body;
  std::string identity;
};

class FakeOutlook;

class FakeMail final : public MailItem {
 public:
  FakeMail(std::shared_ptr<Faults> faults, FakeOutlook* owner = nullptr)
      : faults_(std::move(faults)), owner_(owner) {}
  bool unread = true;
  int importance = 1;
  TDateTime received_time;
  std::string subject, sender_name;
  std::string to, body;

  bool UnRead() override { return Get("UnRead", unread); }
  int Importance() override { return Get("Importance", importance); }
  TDateTime ReceivedTime() override { return Get("ReceivedTime", received_time); }
  std::string Subject() override { return Get("Subject", subject); }
  std::string SenderName() override { return Get("SenderName", sender_name); }
  void SetTo(const std::string& v) override { Set("To", to, v); }
  void SetSubject(const std::string& v) override { Set("Subject", subject, v); }
  void SetBody(const std::string& v) override { Set("Body", body, v); }
  void SetIdentity(const std::string& v) override { identity = v; }
  void Send() override;
  std::string identity;

 private:
  template <typename T>
  T Get(const char* member, const T& value) {
    faults_->Check(std::string("Mail.") + member);
    return value;
  }
  void Set(const char* member, std::string& field, const std::string& value) {
    faults_->Check(std::string("Mail.Set") + member);
    field = value;
  }
  std::shared_ptr<Faults> faults_;
  FakeOutlook* owner_;
};

class FakeFolder final : public MAPIFolder,
                         public outlook::Items,
                         public std::enable_shared_from_this<FakeFolder> {
 public:
  FakeFolder(std::shared_ptr<Faults> faults, std::string name)
      : faults_(std::move(faults)), name_(std::move(name)) {}
  // Null entries stand for positions that yield no item.
  std::vector<std::shared_ptr<outlook::OutlookItem>> items;

  std::shared_ptr<outlook::Items> Items() override;
  int UnReadItemCount() override;
  int Count() override;
  std::shared_ptr<outlook::OutlookItem> Item(int index) override;

 private:
  std::shared_ptr<Faults> faults_;
  std::string name_;
};

class FakeOutlook final : public Application,
                          public NameSpace,
                          public std::enable_shared_from_this<FakeOutlook> {
 public:
  FakeOutlook();

  std::shared_ptr<Faults> faults = std::make_shared<Faults>();
  std::shared_ptr<FakeFolder> calendar, tasks, inbox;
  // GetDefaultFolder answers null for these folder numbers.
  std::vector<int> missing_folders;

  std::shared_ptr<FakeAppointment> AddAppointment();
  std::shared_ptr<FakeTask> AddTask();
  std::shared_ptr<FakeMail> AddMail();

  std::vector<SentMail> Sent() const;
  int Connections() const;
  int Quits() const;

  // A connector for TOutlookApplication that counts connections and honours "Connect" failures.
  Connector MakeConnector();

  std::shared_ptr<NameSpace> GetNamespace(const std::string& type) override;
  std::shared_ptr<outlook::OutlookItem> CreateItem(int type) override;
  void Quit() override;
  std::shared_ptr<MAPIFolder> GetDefaultFolder(int folder) override;

 private:
  friend class FakeMail;
  void RecordSent(SentMail mail);

  mutable std::mutex mutex_;
  std::vector<SentMail> sent_;
  int connections_ = 0;
  int quits_ = 0;
};

std::shared_ptr<FakeOutlook> MakeFakeOutlook();

}  // namespace outlook::fake
