// An automation server for the tests that answers as Outlook's objects do, from the in-memory model
// filled with the test scenario: members by DispID and by name, failures as DISP_E_EXCEPTION with
// the text in EXCEPINFO, and on request a death in the middle of a call.
//
//   outlook_server <sent log> [--active] [--die-after N <marker>] [--fail Member=text]...
//                  [--urgent-now] [--lifetime S] [--until FILE]
//
// Each mail sent and each Quit is appended to the sent log. --active registers the application as
// the running Outlook (GetActiveObject); otherwise the server was started by COM and ends when its
// last object is released. --die-after ends the process at its N-th call unless `marker` exists
// (it is made first, so the server started next lives). --urgent-now adds an urgent unread mail
// received a minute ago. --lifetime ends the server, registrations revoked, after S seconds;
// --until as soon as FILE exists.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <memory>
#include <string>

#include "OutlookScenario.h"
#include "outlook/dispids.h"
#include "platform/Clock.h"
#include "platform/WindowsText.h"

namespace {

using namespace outlook;
namespace d = outlook::dispid;
using ravenox::platform::Utf8Text;
using ravenox::platform::WideText;
using ravenox::testing::Escaped;

// Members the binding asks for by name.
constexpr DISPID kGetOccurrence = 0x7F01, kExceptions = 0x7F02, kOriginalDate = 0x7F03,
                 kDeleted = 0x7F04, kAppointmentItem = 0x7F05;

std::string sent_log;
bool active = false;
long die_after = -1;
std::string die_marker;
std::atomic<long> calls{0};
std::atomic<long> objects{0};
DWORD main_thread = 0;
DWORD class_cookie = 0, active_cookie = 0;
long lifetime_ms = -1;
std::string until;

void Log(const std::string& line) {
  std::ofstream(sent_log, std::ios::app | std::ios::binary) << line << "\n";
}

enum class Kind {
  App,
  NameSpace,
  Folder,
  Items,
  Appointment,
  Pattern,
  Exceptions,
  Exception,
  Task,
  Mail
};

struct Target {
  Kind kind = Kind::App;
  std::shared_ptr<fake::FakeOutlook> app{};
  std::shared_ptr<MAPIFolder> folder{};
  std::shared_ptr<outlook::Items> items{};
  std::shared_ptr<AppointmentItem> appointment{};
  std::shared_ptr<RecurrencePattern> pattern{};
  std::shared_ptr<outlook::Exceptions> exceptions{};
  std::shared_ptr<outlook::Exception> exception{};
  std::shared_ptr<TaskItem> task{};
  std::shared_ptr<MailItem> mail{};
};

class Node final : public IDispatch {
 public:
  explicit Node(Target t) : t_(std::move(t)) { ++objects; }
  ~Node() {
    // Started by COM: the last object's release ends the server.
    if (--objects == 0 && !active) PostThreadMessageW(main_thread, WM_QUIT, 0, 0);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    static const struct {
      const wchar_t* name;
      DISPID id;
    } kNames[] = {
        {L"GetNamespace", d::GetNamespace},
        {L"CreateItem", d::CreateItem},
        {L"Quit", d::Quit},
        {L"GetDefaultFolder", d::GetDefaultFolder},
        {L"Items", d::Items},
        {L"UnReadItemCount", d::UnReadItemCount},
        {L"Count", d::Count},
        {L"Item", d::Item},
        {L"Subject", d::Subject},
        {L"Start", d::Start},
        {L"Location", d::Location},
        {L"Body", d::Body},
        {L"GetRecurrencePattern", d::GetRecurrencePattern},
        {L"ReminderMinutesBeforeStart", d::ReminderMinutesBeforeStart},
        {L"AllDayEvent", d::AllDayEvent},
        {L"MeetingStatus", d::MeetingStatus},
        {L"ResponseStatus", d::ResponseStatus},
        {L"RecurrenceType", d::RecurrenceType},
        {L"Interval", d::Interval},
        {L"DayOfWeekMask", d::DayOfWeekMask},
        {L"DayOfMonth", d::DayOfMonth},
        {L"MonthOfYear", d::MonthOfYear},
        {L"Occurrences", d::Occurrences},
        {L"PatternStartDate", d::PatternStartDate},
        {L"PatternEndDate", d::PatternEndDate},
        {L"NoEndDate", d::NoEndDate},
        {L"StartTime", d::StartTime},
        {L"Instance", d::Instance},
        {L"GetOccurrence", kGetOccurrence},
        {L"Exceptions", kExceptions},
        {L"OriginalDate", kOriginalDate},
        {L"Deleted", kDeleted},
        {L"AppointmentItem", kAppointmentItem},
        {L"StartDate", d::StartDate},
        {L"DueDate", d::DueDate},
        {L"ReminderSet", d::ReminderSet},
        {L"ReminderTime", d::ReminderTime},
        {L"Complete", d::Complete},
        {L"SkipRecurrence", d::SkipRecurrence},
        {L"UnRead", d::UnRead},
        {L"Importance", d::Importance},
        {L"ReceivedTime", d::ReceivedTime},
        {L"SenderName", d::SenderName},
        {L"To", d::To},
        {L"Send", d::Send},
    };
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (_wcsicmp(names[i], L"IsRecurring") == 0) {
        ids[i] = t_.kind == Kind::Task ? d::TaskIsRecurring : d::AppointmentIsRecurring;
        continue;
      }
      for (const auto& n : kNames) {
        if (_wcsicmp(names[i], n.name) == 0) ids[i] = n.id;
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* info, UINT*) override {
    if (++calls == die_after && GetFileAttributesA(die_marker.c_str()) == INVALID_FILE_ATTRIBUTES) {
      // Gone in the middle of a call, as an Outlook the user closes. Its registrations go first:
      // Wine's service keeps those of a process that died with them, where Windows' does not.
      std::ofstream(die_marker) << "died\n";
      if (active) RevokeActiveObject(active_cookie, nullptr);
      CoRevokeClassObject(class_cookie);
      ExitProcess(3);
    }
    params_ = params;
    result_ = result;
    try {
      if (flags & DISPATCH_PROPERTYPUT) return Put(id);
      return Get(id);
    } catch (const AutomationError& e) {
      if (info != nullptr) {
        *info = EXCEPINFO{};
        info->bstrSource = SysAllocString(L"Outlook");
        info->bstrDescription = SysAllocString(WideText(e.what()).c_str());
        info->scode = E_FAIL;
      }
      return DISP_E_EXCEPTION;
    }
  }

 private:
  VARIANT* Arg(UINT i) {
    if (params_ == nullptr || i >= params_->cArgs) throw AutomationError("Missing argument");
    return &params_->rgvarg[params_->cArgs - 1 - i];
  }
  int IntArg(UINT i) {
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantChangeType(&v, Arg(i), 0, VT_I4))) throw AutomationError("Type mismatch");
    return v.lVal;
  }
  std::string TextArg(UINT i) {
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantChangeType(&v, Arg(i), 0, VT_BSTR))) throw AutomationError("Type mismatch");
    std::string text = Utf8Text(std::wstring(v.bstrVal, SysStringLen(v.bstrVal)));
    VariantClear(&v);
    return text;
  }
  TDateTime DateArg(UINT i) {
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantChangeType(&v, Arg(i), 0, VT_DATE))) throw AutomationError("Type mismatch");
    return TDateTime(v.date);
  }

  HRESULT Int(int v) {
    if (result_ != nullptr) {
      result_->vt = VT_I4;
      result_->lVal = v;
    }
    return S_OK;
  }
  HRESULT Bool(bool v) {
    if (result_ != nullptr) {
      result_->vt = VT_BOOL;
      result_->boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return S_OK;
  }
  HRESULT Date(TDateTime v) {
    if (result_ != nullptr) {
      result_->vt = VT_DATE;
      result_->date = v.Value();
    }
    return S_OK;
  }
  HRESULT Text(const std::string& v) {
    if (result_ != nullptr) {
      const std::wstring w = WideText(v);
      result_->vt = VT_BSTR;
      result_->bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    }
    return S_OK;
  }
  HRESULT Object(Target t) {
    if (result_ != nullptr) {
      result_->vt = VT_DISPATCH;
      result_->pdispVal = new Node(std::move(t));
      result_->pdispVal->AddRef();
    }
    return S_OK;
  }
  HRESULT Null() {
    if (result_ != nullptr) {
      result_->vt = VT_DISPATCH;
      result_->pdispVal = nullptr;
    }
    return S_OK;
  }
  HRESULT Item(const std::shared_ptr<OutlookItem>& item) {
    if (item == nullptr) return Null();
    if (auto a = std::dynamic_pointer_cast<AppointmentItem>(item))
      return Object({.kind = Kind::Appointment, .appointment = a});
    if (auto t = std::dynamic_pointer_cast<TaskItem>(item))
      return Object({.kind = Kind::Task, .task = t});
    return Object({.kind = Kind::Mail, .mail = std::dynamic_pointer_cast<MailItem>(item)});
  }

  HRESULT Put(DISPID id) {
    if (t_.kind != Kind::Mail) return DISP_E_MEMBERNOTFOUND;
    if (id == d::To)
      t_.mail->SetTo(TextArg(0));
    else if (id == d::Subject)
      t_.mail->SetSubject(TextArg(0));
    else if (id == d::Body)
      t_.mail->SetBody(TextArg(0));
    else
      return DISP_E_MEMBERNOTFOUND;
    return S_OK;
  }

  HRESULT Get(DISPID id) {
    switch (t_.kind) {
      case Kind::App:
        if (id == d::GetNamespace) {
          if (TextArg(0) != "MAPI") throw AutomationError("Unknown name space");
          t_.app->GetNamespace("MAPI");
          return Object({.kind = Kind::NameSpace, .app = t_.app});
        }
        if (id == d::CreateItem) return Item(t_.app->CreateItem(IntArg(0)));
        if (id == d::Quit) {
          t_.app->Quit();
          Log("quit");
          PostThreadMessageW(main_thread, WM_QUIT, 0, 0);
          return S_OK;
        }
        break;
      case Kind::NameSpace:
        if (id == d::GetDefaultFolder) {
          auto folder = t_.app->GetDefaultFolder(IntArg(0));
          if (folder == nullptr) return Null();
          return Object({.kind = Kind::Folder, .folder = folder});
        }
        break;
      case Kind::Folder:
        if (id == d::Items) return Object({.kind = Kind::Items, .items = t_.folder->Items()});
        if (id == d::UnReadItemCount) return Int(t_.folder->UnReadItemCount());
        break;
      case Kind::Items:
        if (id == d::Count) return Int(t_.items->Count());
        if (id == d::Item) return Item(t_.items->Item(IntArg(0)));
        break;
      case Kind::Appointment: {
        auto& a = *t_.appointment;
        if (id == d::Subject) return Text(a.Subject());
        if (id == d::Start) return Date(a.Start());
        if (id == d::Location) return Text(a.Location());
        if (id == d::Body) return Text(a.Body());
        if (id == d::AppointmentIsRecurring) return Bool(a.IsRecurring());
        if (id == d::ReminderMinutesBeforeStart) return Int(a.ReminderMinutesBeforeStart());
        if (id == d::ReminderSet) return Bool(a.ReminderSet());
        if (id == d::AllDayEvent) return Bool(a.AllDayEvent());
        if (id == d::MeetingStatus) return Int(a.MeetingStatus());
        if (id == d::ResponseStatus) return Int(a.ResponseStatus());
        if (id == d::GetRecurrencePattern)
          return Object({.kind = Kind::Pattern, .pattern = a.GetRecurrencePattern()});
        break;
      }
      case Kind::Pattern: {
        auto& p = *t_.pattern;
        if (id == d::RecurrenceType) return Int(p.RecurrenceType());
        if (id == d::Interval) return Int(p.Interval());
        if (id == d::DayOfWeekMask) return Int(p.DayOfWeekMask());
        if (id == d::DayOfMonth) return Int(p.DayOfMonth());
        if (id == d::MonthOfYear) return Int(p.MonthOfYear());
        if (id == d::Occurrences) return Int(p.Occurrences());
        if (id == d::PatternStartDate) return Date(p.PatternStartDate());
        if (id == d::PatternEndDate) return Date(p.PatternEndDate());
        if (id == d::NoEndDate) return Bool(p.NoEndDate());
        if (id == d::StartTime) return Date(p.StartTime());
        if (id == d::Instance) return Int(p.Instance());
        if (id == kGetOccurrence)
          return Object({.kind = Kind::Appointment, .appointment = p.GetOccurrence(DateArg(0))});
        if (id == kExceptions)
          return Object({.kind = Kind::Exceptions, .exceptions = p.Exceptions()});
        break;
      }
      case Kind::Exceptions:
        if (id == d::Count) return Int(t_.exceptions->Count());
        if (id == d::Item)
          return Object({.kind = Kind::Exception, .exception = t_.exceptions->Item(IntArg(0))});
        break;
      case Kind::Exception:
        if (id == kOriginalDate) return Date(t_.exception->OriginalDate());
        if (id == kDeleted) return Bool(t_.exception->Deleted());
        if (id == kAppointmentItem) {
          if (t_.exception->Deleted()) return Null();
          return Object(
              {.kind = Kind::Appointment, .appointment = t_.exception->AppointmentItem()});
        }
        break;
      case Kind::Task: {
        auto& t = *t_.task;
        if (id == d::Subject) return Text(t.Subject());
        if (id == d::StartDate) return Date(t.StartDate());
        if (id == d::DueDate) return Date(t.DueDate());
        if (id == d::ReminderSet) return Bool(t.ReminderSet());
        if (id == d::ReminderTime) return Date(t.ReminderTime());
        if (id == d::Complete) return Bool(t.Complete());
        if (id == d::TaskIsRecurring) return Bool(t.IsRecurring());
        if (id == d::SkipRecurrence) return Bool(t.SkipRecurrence());
        break;
      }
      case Kind::Mail: {
        auto& m = *t_.mail;
        if (id == d::UnRead) return Bool(m.UnRead());
        if (id == d::Importance) return Int(m.Importance());
        if (id == d::ReceivedTime) return Date(m.ReceivedTime());
        if (id == d::Subject) return Text(m.Subject());
        if (id == d::SenderName) return Text(m.SenderName());
        if (id == d::Send) {
          auto& sent = dynamic_cast<fake::FakeMail&>(m);
          m.Send();
          Log(Escaped(sent.to) + "\t" + Escaped(sent.subject) + "\t" + Escaped(sent.body));
          return S_OK;
        }
        break;
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }

  Target t_;
  std::atomic<ULONG> refs_{0};
  DISPPARAMS* params_ = nullptr;
  VARIANT* result_ = nullptr;
};

std::shared_ptr<fake::FakeOutlook> model;

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* app = new Node({.kind = Kind::App, .app = model});
    app->AddRef();
    const HRESULT hr = app->QueryInterface(riid, out);
    app->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: outlook_server <sent log> [options]\n");
    return 2;
  }
  sent_log = argv[1];
  model = outlook::fake::MakeFakeOutlook();
  ravenox::testing::FillScenario(*model);
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--active") {
      active = true;
    } else if (a == "--die-after" && i + 2 < argc) {
      die_after = std::stol(argv[++i]);
      die_marker = argv[++i];
    } else if (a == "--until" && i + 1 < argc) {
      until = argv[++i];
    } else if (a == "--lifetime" && i + 1 < argc) {
      lifetime_ms = std::stol(argv[++i]) * 1000;
    } else if (a == "--urgent-now") {
      auto mail = model->AddMail();
      mail->subject = "Call me back";
      mail->sender_name = "Boss";
      mail->importance = olImportanceHigh;
      mail->received_time = ravenox::platform::SystemClock().Now() - 1.0 / 1440;
    } else if (a == "--fail" && i + 1 < argc) {
      const std::string failure = argv[++i];
      const auto eq = failure.find('=');
      model->faults->FailOn(failure.substr(0, eq), -1, failure.substr(eq + 1));
    }
  }
  main_thread = GetCurrentThreadId();
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  CLSID clsid{};
  CLSIDFromString(WideText(d::kApplicationClsid).c_str(), &clsid);
  static Factory factory;
  if (FAILED(CoRegisterClassObject(clsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                   &class_cookie)))
    return 1;
  IDispatch* app = nullptr;
  if (active) {
    app = new Node({.kind = Kind::App, .app = model});
    app->AddRef();
    if (FAILED(RegisterActiveObject(app, clsid, ACTIVEOBJECT_STRONG, &active_cookie))) return 1;
  }
  // Ready: the test waits for this line.
  Log("ready");
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(lifetime_ms);
  for (bool quit = false; !quit;) {
    DWORD wait = INFINITE;
    if (lifetime_ms >= 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= end) break;
      wait = static_cast<DWORD>(end - now);
    }
    if (!until.empty()) {
      if (GetFileAttributesA(until.c_str()) != INVALID_FILE_ATTRIBUTES) break;
      wait = std::min<DWORD>(wait, 100);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) quit = true;
      DispatchMessageW(&msg);
    }
  }
  if (active) {
    RevokeActiveObject(active_cookie, nullptr);
    app->Release();
  }
  CoRevokeClassObject(class_cookie);
  CoUninitialize();
  return 0;
}
