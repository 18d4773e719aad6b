#include "outlook/com/ComOutlook.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include "outlook/dispids.h"
#include "platform/WindowsText.h"

namespace outlook::com {
namespace d = outlook::dispid;
namespace {

class ComAppointment;

class ComPattern final : public RecurrencePattern {
 public:
  explicit ComPattern(Object o) : o_(std::move(o)) {}
  int RecurrenceType() override { return o_.GetInt(d::RecurrenceType, "RecurrenceType"); }
  int Interval() override { return o_.GetInt(d::Interval, "Interval"); }
  int DayOfWeekMask() override { return o_.GetInt(d::DayOfWeekMask, "DayOfWeekMask"); }
  int DayOfMonth() override { return o_.GetInt(d::DayOfMonth, "DayOfMonth"); }
  int MonthOfYear() override { return o_.GetInt(d::MonthOfYear, "MonthOfYear"); }
  int Occurrences() override { return o_.GetInt(d::Occurrences, "Occurrences"); }
  TDateTime PatternStartDate() override {
    return o_.GetDate(d::PatternStartDate, "PatternStartDate");
  }
  TDateTime PatternEndDate() override { return o_.GetDate(d::PatternEndDate, "PatternEndDate"); }
  bool NoEndDate() override { return o_.GetBool(d::NoEndDate, "NoEndDate"); }
  TDateTime StartTime() override { return o_.GetDate(d::StartTime, "StartTime"); }
  int Instance() override { return o_.GetInt(d::Instance, "Instance"); }
  std::shared_ptr<AppointmentItem> GetOccurrence(TDateTime date) override;
  std::shared_ptr<outlook::Exceptions> Exceptions() override;

 private:
  Object o_;
};

class ComAppointment final : public AppointmentItem {
 public:
  explicit ComAppointment(Object o) : o_(std::move(o)) {}
  std::string Subject() override { return o_.GetText(d::Subject, "Subject"); }
  TDateTime Start() override { return o_.GetDate(d::Start, "Start"); }
  std::string Location() override { return o_.GetText(d::Location, "Location"); }
  std::string Body() override { return o_.GetText(d::Body, "Body"); }
  bool IsRecurring() override { return o_.GetBool(d::AppointmentIsRecurring, "IsRecurring"); }
  std::shared_ptr<RecurrencePattern> GetRecurrencePattern() override {
    Object pattern = o_.GetDispatch(d::GetRecurrencePattern, "GetRecurrencePattern");
    if (!pattern) throw AutomationError("The series has no recurrence pattern");
    return std::make_shared<ComPattern>(std::move(pattern));
  }
  int ReminderMinutesBeforeStart() override {
    return o_.GetInt(d::ReminderMinutesBeforeStart, "ReminderMinutesBeforeStart");
  }
  bool ReminderSet() override { return o_.GetBool(d::ReminderSet, "ReminderSet"); }
  bool AllDayEvent() override { return o_.GetBool(d::AllDayEvent, "AllDayEvent"); }
  int MeetingStatus() override { return o_.GetInt(d::MeetingStatus, "MeetingStatus"); }
  int ResponseStatus() override { return o_.GetInt(d::ResponseStatus, "ResponseStatus"); }

 private:
  Object o_;
};

class ComException final : public Exception {
 public:
  explicit ComException(Object o) : o_(std::move(o)) {}
  TDateTime OriginalDate() override { return o_.GetDate(0, "OriginalDate"); }
  bool Deleted() override { return o_.GetBool(0, "Deleted"); }
  std::shared_ptr<outlook::AppointmentItem> AppointmentItem() override {
    Object item = o_.GetDispatch(0, "AppointmentItem");
    if (!item) throw AutomationError("The occurrence was deleted");
    return std::make_shared<ComAppointment>(std::move(item));
  }

 private:
  Object o_;
};

class ComExceptions final : public Exceptions {
 public:
  explicit ComExceptions(Object o) : o_(std::move(o)) {}
  int Count() override { return o_.GetInt(d::Count, "Count"); }
  std::shared_ptr<Exception> Item(int index) override {
    Variant at = Variant::Int(index);
    Object e = o_.GetDispatch(d::Item, "Item", {&at});
    if (!e) throw AutomationError("Array index out of bounds.");
    return std::make_shared<ComException>(std::move(e));
  }

 private:
  Object o_;
};

std::shared_ptr<AppointmentItem> ComPattern::GetOccurrence(TDateTime date) {
  Variant when = Variant::Date(date);
  Object item = o_.GetDispatch(0, "GetOccurrence", {&when});
  if (!item) throw AutomationError("The series has no occurrence that day");
  return std::make_shared<ComAppointment>(std::move(item));
}

std::shared_ptr<outlook::Exceptions> ComPattern::Exceptions() {
  Object list = o_.GetDispatch(0, "Exceptions");
  if (!list) return std::make_shared<ExceptionList>();
  return std::make_shared<ComExceptions>(std::move(list));
}

class ComTask final : public TaskItem {
 public:
  explicit ComTask(Object o) : o_(std::move(o)) {}
  std::string Subject() override { return o_.GetText(d::Subject, "Subject"); }
  TDateTime StartDate() override { return o_.GetDate(d::StartDate, "StartDate"); }
  TDateTime DueDate() override { return o_.GetDate(d::DueDate, "DueDate"); }
  bool ReminderSet() override { return o_.GetBool(d::ReminderSet, "ReminderSet"); }
  TDateTime ReminderTime() override { return o_.GetDate(d::ReminderTime, "ReminderTime"); }
  bool Complete() override { return o_.GetBool(d::Complete, "Complete"); }
  bool IsRecurring() override { return o_.GetBool(d::TaskIsRecurring, "IsRecurring"); }
  bool SkipRecurrence() override {
    Variant result;
    o_.Call(d::SkipRecurrence, "SkipRecurrence", {}, result);
    // Outlook's SkipRecurrence answers true when it moved the task; a server that answers
    // nothing moved it.
    return (*result).vt == VT_EMPTY || result.ToBool();
  }

 private:
  Object o_;
};

class ComMail final : public MailItem {
 public:
  explicit ComMail(Object o) : o_(std::move(o)) {}
  bool UnRead() override { return o_.GetBool(d::UnRead, "UnRead"); }
  int Importance() override { return o_.GetInt(d::Importance, "Importance"); }
  TDateTime ReceivedTime() override { return o_.GetDate(d::ReceivedTime, "ReceivedTime"); }
  std::string Subject() override { return o_.GetText(d::Subject, "Subject"); }
  std::string SenderName() override { return o_.GetText(d::SenderName, "SenderName"); }
  void SetTo(const std::string& to) override { Put(d::To, "To", to); }
  void SetSubject(const std::string& subject) override { Put(d::Subject, "Subject", subject); }
  void SetBody(const std::string& body) override { Put(d::Body, "Body", body); }
  void Send() override {
    Variant ignored;
    o_.Call(d::Send, "Send", {}, ignored);
  }

 private:
  void Put(int dispid, const char* name, const std::string& text) {
    Variant value = Variant::Text(text);
    o_.Put(dispid, name, value);
  }
  Object o_;
};

// The items of a default folder are of the folder's kind: meetings in the calendar, tasks in the
// task list, mail elsewhere. An item that is not (a meeting request in the inbox) answers the
// members it lacks with the server's error.
class ComItems final : public Items {
 public:
  ComItems(Object o, int folder) : o_(std::move(o)), folder_(folder) {}
  int Count() override { return o_.GetInt(d::Count, "Count"); }
  std::shared_ptr<OutlookItem> Item(int index) override {
    Variant at = Variant::Int(index);
    Object item = o_.GetDispatch(d::Item, "Item", {&at});
    if (!item) return nullptr;
    if (folder_ == olFolderCalendar) return std::make_shared<ComAppointment>(std::move(item));
    if (folder_ == olFolderTasks) return std::make_shared<ComTask>(std::move(item));
    return std::make_shared<ComMail>(std::move(item));
  }

 private:
  Object o_;
  int folder_;
};

class ComFolder final : public MAPIFolder {
 public:
  ComFolder(Object o, int folder) : o_(std::move(o)), folder_(folder) {}
  std::shared_ptr<outlook::Items> Items() override {
    Object items = o_.GetDispatch(d::Items, "Items");
    if (!items) throw AutomationError("The folder has no items");
    return std::make_shared<ComItems>(std::move(items), folder_);
  }
  int UnReadItemCount() override { return o_.GetInt(d::UnReadItemCount, "UnReadItemCount"); }

 private:
  Object o_;
  int folder_;
};

class ComNameSpace final : public NameSpace {
 public:
  explicit ComNameSpace(Object o) : o_(std::move(o)) {}
  std::shared_ptr<MAPIFolder> GetDefaultFolder(int folder) override {
    Variant which = Variant::Int(folder);
    Object f = o_.GetDispatch(d::GetDefaultFolder, "GetDefaultFolder", {&which});
    if (!f) return nullptr;
    return std::make_shared<ComFolder>(std::move(f), folder);
  }

 private:
  Object o_;
};

class ComApplication final : public Application {
 public:
  ComApplication(Object o, bool started) : o_(std::move(o)), started_(started) {}
  std::shared_ptr<NameSpace> GetNamespace(const std::string& type) override {
    Variant kind = Variant::Text(type);
    Object ns = o_.GetDispatch(d::GetNamespace, "GetNamespace", {&kind});
    if (!ns) throw AutomationError("Outlook has no " + type + " name space");
    return std::make_shared<ComNameSpace>(std::move(ns));
  }
  std::shared_ptr<OutlookItem> CreateItem(int type) override {
    Variant kind = Variant::Int(type);
    Object item = o_.GetDispatch(d::CreateItem, "CreateItem", {&kind});
    if (!item) throw AutomationError("Outlook made no item");
    return std::make_shared<ComMail>(std::move(item));
  }
  void Quit() override {
    if (!started_) return;
    Variant ignored;
    o_.Call(d::Quit, "Quit", {}, ignored);
  }

 private:
  Object o_;
  bool started_;
};

}  // namespace

std::shared_ptr<Application> WrapApplication(Object application, bool started) {
  return std::make_shared<ComApplication>(std::move(application), started);
}

std::shared_ptr<Application> ConnectOutlook() {
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(L"Outlook.Application", &clsid))) {
    const std::wstring fixed = ravenox::platform::WideText(dispid::kApplicationClsid);
    const HRESULT hr = CLSIDFromString(fixed.c_str(), &clsid);
    if (FAILED(hr)) throw ErrorOf(hr, nullptr);
  }
  IUnknown* running = nullptr;
  if (SUCCEEDED(GetActiveObject(clsid, nullptr, &running)) && running != nullptr) {
    IDispatch* app = nullptr;
    const HRESULT hr = running->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&app));
    running->Release();
    // The table of running objects may still name an Outlook that has ended (it crashed, or was
    // killed): a call that cannot reach it means none is running.
    UINT count = 0;
    if (SUCCEEDED(hr) && app != nullptr && SUCCEEDED(app->GetTypeInfoCount(&count)))
      return WrapApplication(Object(app), false);
    if (app != nullptr) app->Release();
  }
  IDispatch* app = nullptr;
  const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&app));
  if (FAILED(hr) || app == nullptr)
    throw AutomationError(std::string("Outlook could not be started: ") +
                          ErrorOf(FAILED(hr) ? hr : E_NOINTERFACE, nullptr).what());
  return WrapApplication(Object(app), true);
}

Connector OutlookConnector() {
  return [] { return ConnectOutlook(); };
}

}  // namespace outlook::com
