#include "outlook/localstore/LocalStore.h"

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <unordered_set>

#include "outlook/PatternRule.h"
#include "outlook/localstore/IcsCollection.h"
#include "outlook/localstore/IcsStore.h"
#include "outlook/localstore/Maildir.h"
#include "outlook/outbox/Sender.h"

namespace outlook::localstore {

using outbox::OutboxPass;
using outbox::OutboxReport;
using outbox::SendMessage;
using outbox::SendSettings;

namespace {

std::optional<TDateTime> ViewStart(const std::shared_ptr<IcsFile>& file, std::size_t index,
                                   TDateTime now);

// Reads its data from the file at each call, like a live automation object; an occurrence of a
// series carries its data with it.
class LocalAppointment final : public AppointmentItem {
 public:
  LocalAppointment(std::shared_ptr<IcsFile> file, std::size_t index)
      : file_(std::move(file)), index_(index) {}
  LocalAppointment(std::shared_ptr<IcsFile> file, std::size_t index, EventData occurrence)
      : file_(std::move(file)),
        index_(index),
        data_(std::make_shared<const EventData>(std::move(occurrence))) {}
  // An occurrence as the file keeps it, not copied.
  LocalAppointment(std::shared_ptr<IcsFile> file, std::size_t index,
                   std::shared_ptr<const EventData> occurrence)
      : file_(std::move(file)), index_(index), data_(std::move(occurrence)) {}
  std::string Subject() override { return Data().subject; }
  TDateTime Start() override { return Data().start; }
  std::string Location() override { return Data().location; }
  std::string Body() override { return Data().body; }
  bool IsRecurring() override { return Data().recurring; }
  std::shared_ptr<RecurrencePattern> GetRecurrencePattern() override;
  int ReminderMinutesBeforeStart() override { return Data().reminder_minutes; }
  bool ReminderSet() override { return Data().reminder_set; }
  bool AllDayEvent() override { return Data().all_day; }
  int MeetingStatus() override { return Data().cancelled ? olMeetingCanceled : 0; }
  int ResponseStatus() override { return Data().declined ? olResponseDeclined : 0; }
  // Read once per item object: the engine asks for several members of one item in a row.
  std::optional<TDateTime> ViewStart(TDateTime now) const {
    return localstore::ViewStart(file_, index_, now);
  }
  const EventData& Data(bool strict = true) {
    if (!data_) data_ = std::make_shared<const EventData>(file_->Event(index_));
    if (strict && !data_->error.empty())
      throw AutomationError(file_->Path().string() + ": " + data_->error);
    return *data_;
  }

 private:
  std::shared_ptr<IcsFile> file_;
  std::size_t index_;
  std::shared_ptr<const EventData> data_;
};

// Asks the file, as long as it holds what the pattern was read from.
class LocalPattern final : public RecurrencePattern {
 public:
  LocalPattern(std::shared_ptr<IcsFile> file, std::size_t index, const PatternData& p)
      : file_(std::move(file)), index_(index), generation_(file_->Generation()), p_(p) {}
  int RecurrenceType() override { return p_.type; }
  int Interval() override { return p_.interval; }
  int DayOfWeekMask() override { return p_.day_of_week_mask; }
  int DayOfMonth() override { return p_.day_of_month; }
  int MonthOfYear() override { return p_.month_of_year; }
  int Occurrences() override { return p_.occurrences; }
  TDateTime PatternStartDate() override { return p_.pattern_start_date; }
  TDateTime PatternEndDate() override { return p_.pattern_end_date; }
  bool NoEndDate() override { return p_.no_end_date; }
  TDateTime StartTime() override { return p_.start_time; }
  int Instance() override { return p_.instance; }
  int FirstDayOfWeek() override { return p_.first_day_of_week; }
  TDateTime PatternTime(TDateTime local) override {
    return Ask([&] { return IcsFile::TimeInZone(p_.zone, local); });
  }
  std::shared_ptr<AppointmentItem> GetOccurrence(TDateTime date) override {
    auto e = Ask([&] { return file_->Occurrence(index_, date); });
    return std::make_shared<LocalAppointment>(file_, index_, std::move(e));
  }
  std::shared_ptr<outlook::Exceptions> Exceptions() override;

 private:
  template <typename F>
  std::invoke_result_t<F> Ask(F f) {
    if (file_->Generation() != generation_)
      throw AutomationError("The calendar changed since the appointment was read");
    try {
      return f();
    } catch (const AutomationError&) {
      throw;
    } catch (const std::exception& e) {
      throw AutomationError(e.what());
    }
  }
  std::shared_ptr<IcsFile> file_;
  std::size_t index_;
  uint64_t generation_;
  PatternData p_;
};

class LocalException final : public Exception {
 public:
  LocalException(std::shared_ptr<IcsFile> file, std::size_t index, ExceptionData data)
      : file_(std::move(file)), index_(index), data_(std::move(data)) {}
  TDateTime OriginalDate() override { return data_.original; }
  bool Deleted() override { return data_.deleted; }
  std::shared_ptr<outlook::AppointmentItem> AppointmentItem() override {
    if (data_.deleted) throw AutomationError("The occurrence was deleted");
    return std::make_shared<LocalAppointment>(file_, index_, data_.event);
  }

 private:
  std::shared_ptr<IcsFile> file_;
  std::size_t index_;
  ExceptionData data_;
};

std::shared_ptr<outlook::Exceptions> LocalPattern::Exceptions() {
  auto out = std::make_shared<ExceptionList>();
  for (ExceptionData& x : Ask([&] { return file_->Exceptions(index_); }))
    out->list.push_back(std::make_shared<LocalException>(file_, index_, std::move(x)));
  return out;
}

std::shared_ptr<RecurrencePattern> LocalAppointment::GetRecurrencePattern() {
  const EventData& d = Data();
  if (!d.recurring) throw AutomationError("The appointment does not recur");
  return std::make_shared<LocalPattern>(file_, index_, d.pattern);
}

class LocalTask final : public TaskItem {
 public:
  LocalTask(std::shared_ptr<IcsFile> file, std::size_t index)
      : file_(std::move(file)), index_(index) {}
  std::string Subject() override { return Data().subject; }
  TDateTime StartDate() override { return Data().start_date; }
  TDateTime DueDate() override { return Data().due_date; }
  bool ReminderSet() override { return Data().reminder_set; }
  TDateTime ReminderTime() override { return Data().reminder_time; }
  bool Complete() override { return Data().complete; }
  bool IsRecurring() override { return Data().recurring; }
  bool SkipRecurrence() override {
    try {
      const time_t now = time(nullptr);
      std::tm midnight{};
      localtime_r(&now, &midnight);
      midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
      midnight.tm_isdst = -1;
      return file_->SkipRecurrence(index_, mktime(&midnight));
    } catch (const std::exception& e) {
      throw AutomationError(e.what());
    }
  }
  const TaskData& Data(bool strict = true) {
    const TaskData& d = file_->Task(index_);
    if (strict && !d.error.empty()) throw AutomationError(file_->Path().string() + ": " + d.error);
    return d;
  }

 private:
  std::shared_ptr<IcsFile> file_;
  std::size_t index_;
};

class ReceivedMail final : public MailItem {
 public:
  explicit ReceivedMail(const MessageData& m) : m_(m) {}
  bool UnRead() override { return m_.unread; }
  int Importance() override { return m_.importance; }
  TDateTime ReceivedTime() override { return m_.received; }
  std::string Subject() override { return m_.subject; }
  std::string SenderName() override { return m_.sender_name; }
  void SetTo(const std::string&) override { ReadOnly(); }
  void SetSubject(const std::string&) override { ReadOnly(); }
  void SetBody(const std::string&) override { ReadOnly(); }
  void Send() override { ReadOnly(); }

 private:
  [[noreturn]] static void ReadOnly() { throw AutomationError("A received mail cannot be sent"); }
  MessageData m_;
};

class NewMail final : public MailItem {
 public:
  explicit NewMail(SendSettings settings) : settings_(std::move(settings)) {}
  bool UnRead() override { return false; }
  int Importance() override { return 1; }
  TDateTime ReceivedTime() override { return 0.0; }
  std::string Subject() override { return subject_; }
  std::string SenderName() override { return settings_.from; }
  void SetTo(const std::string& to) override { to_ = to; }
  void SetSubject(const std::string& subject) override { subject_ = subject; }
  void SetBody(const std::string& body) override { body_ = body; }
  void SetIdentity(const std::string& identity) override { identity_ = identity; }
  void Send() override { SendMessage(settings_, to_, subject_, body_, identity_); }

 private:
  SendSettings settings_;
  std::string to_, subject_, body_, identity_;
};

// The view's window around now: a day wider on each side than anything the calendar scan takes
// (from an hour back to three days on, a series' occurrences today to the day after in its own
// calendar, and occurrences moved there from other days).
constexpr double kViewBefore = 1.0 + 1.0 / 24;
constexpr double kViewAfter = 4.0;
constexpr int kSeriesDaysBefore = 1, kSeriesDaysAfter = 4;
// Built again when the calendar changes and as time moves on: well within the margin.
constexpr double kViewLife = 1.0 / 24;

// Where the item at `index` of `file` goes in the view at `now`, by its start (or its next
// occurrence); none when the calendar scan could not take it at any moment of the view's life.
std::optional<TDateTime> ViewStart(const std::shared_ptr<IcsFile>& file, std::size_t index,
                                   TDateTime now) {
  // Most of a calendar with a history is single meetings far from now: their start line is enough.
  if (file->SurelyOutside(index, now - kViewBefore, now + kViewAfter)) return std::nullopt;
  const EventData d = file->Look(index);
  if (!d.error.empty()) return now;  // the scan meets it and says why it cannot be read
  const TDateTime lo = now - kViewBefore, hi = now + kViewAfter;
  if (!d.recurring) {
    if (lo <= d.start && d.start <= hi) return d.start;
    return std::nullopt;
  }
  if (d.pattern.type != kNoExpansion) {
    LocalPattern pattern(file, index, d.pattern);
    const PatternRule rule = PatternRule::Read(pattern, d.pattern.type);
    const TDateTime today = ravenox::DateOf(pattern.PatternTime(now));
    // Placed by its next occurrence from today, else yesterday's.
    for (int i = 0; i <= kSeriesDaysAfter; ++i) {
      if (rule.Why(today + i) == nullptr) return today + i + ravenox::TimeOf(rule.start_time);
    }
    for (int i = -1; i >= -kSeriesDaysBefore; --i) {
      if (rule.Why(today + i) == nullptr) return today + i + ravenox::TimeOf(rule.start_time);
    }
  }
  if (file->HasChangedOccurrences(index)) {
    for (const ExceptionData& x : file->Exceptions(index)) {
      if (!x.deleted && lo <= x.event.start && x.event.start <= hi) return x.event.start;
    }
  }
  return std::nullopt;
}

// The task list's view: a day wider on each side than the task scan takes (a task whose start or
// due day is no more than a day behind, or begins within a day).
constexpr double kTaskViewBefore = 1.0, kTaskViewAfter = 2.0;

// Where the task at `index` of `file` goes in the view at `now`, by its due day (or start); none
// when the task scan would pass over it at any moment of the view's life. A series is always
// there (the scan moves it on), and so is a complete task until the scan has read it (a reminder
// kept for it must learn that it is done).
std::optional<TDateTime> TaskViewStart(const std::shared_ptr<IcsFile>& file, std::size_t index,
                                       TDateTime now) {
  const TaskData& t = file->Task(index);
  if (!t.error.empty()) return now;  // the scan meets it and says why it cannot be read
  const TDateTime key = t.due_date != TDateTime(ravenox::kNoDate) ? t.due_date : t.start_date;
  if (t.recurring || t.complete) return key;
  const TDateTime lo = now - kTaskViewBefore, hi = now + kTaskViewAfter;
  if ((t.start_date < lo && t.due_date < lo) || (t.start_date > hi && t.due_date > hi))
    return std::nullopt;
  return key;
}

// A folder of iCalendar items; it is its own item collection. The calendar and the task list
// present the items that matter now, ordered by start (or due day), as Outlook's restricted views
// do: what they leave out the scans would have passed over, and a meeting or task added today is
// met within one pass however long the history. The whole folder is there for the inspector.
class IcsFolder final : public MAPIFolder,
                        public Items,
                        public std::enable_shared_from_this<IcsFolder> {
 public:
  IcsFolder(std::vector<std::filesystem::path> sources, ComponentKind kind,
            std::string user_address, LocalClock clock, FolderScope scope, StoreChanged changed)
      : collection_(std::move(sources), kind, user_address, /*watch=*/scope == FolderScope::kNow),
        kind_(kind),
        clock_(std::move(clock)),
        view_(scope == FolderScope::kNow && clock_) {
    if (!changed || !view_) return;
    // Judged on the service's thread, from the texts alone: an item the view holds (or held)
    // wakes the engine; one far from now waits for its time.
    collection_.OnDesktopChange(
        [kind, user_address, clock = clock_, changed](const eds::LiveSource::Text& before,
                                                      const eds::LiveSource::Text& after) {
          const TDateTime now = clock();
          auto near = [&](const eds::LiveSource::Text& text) {
            if (text == nullptr) return false;
            auto file = std::make_shared<IcsFile>(nullptr, kind, user_address, text, nullptr);
            try {
              file->Refresh();
              for (std::size_t i = 0; i < file->Count(); ++i) {
                if (kind == ComponentKind::kEvent ? ViewStart(file, i, now).has_value()
                                                  : TaskViewStart(file, i, now).has_value())
                  return true;
              }
            } catch (const std::exception&) {
              return true;  // the scan says why it cannot be read
            }
            return false;
          };
          if (near(before) || near(after)) changed();
        });
  }
  std::shared_ptr<outlook::Items> Items() override { return shared_from_this(); }
  int UnReadItemCount() override { return 0; }
  void LookAtNextCount() { look_ = true; }
  // Sources that cannot be read are left out and named by Problem(); when none can be read the
  // folder itself cannot be.
  int Count() override {
    // The engine asks before every item: a scan's first count looks at the files, and the others
    // within a moment of the engine's clock do not. Without a clock (the inspector) every count
    // looks.
    const TDateTime now = clock_ ? clock_() : TDateTime(0.0);
    if (!clock_ || look_ || now < refreshed_at_ || now - refreshed_at_ >= kRefreshAgain) {
      look_ = false;
      collection_.Refresh();
      refreshed_at_ = now;
    }
    const std::size_t n = collection_.Count();
    const auto& problems = collection_.Problems();
    if (n == 0 && !problems.empty() && problems.size() == collection_.Files())
      throw std::runtime_error(problems[0]);
    if (!view_) return static_cast<int>(n);
    UpdateView();
    return static_cast<int>(entries_.size());
  }
  std::string Problem() override {
    std::string text;
    for (const auto& p : collection_.Problems()) text += (text.empty() ? "" : "; ") + p;
    return text;
  }
  std::shared_ptr<OutlookItem> Item(int index) override {
    if (index < 1) throw AutomationError("Array index out of bounds.");
    std::shared_ptr<IcsFile> file;
    std::size_t local = 0;
    if (view_) {
      if (static_cast<std::size_t>(index) > entries_.size())
        throw AutomationError("Array index out of bounds.");
      next_ = static_cast<std::size_t>(index) + 1;
      const Entry& e = entries_[static_cast<std::size_t>(index - 1)];
      file = e.file;
      local = e.index;
      // A complete task once read has told the scan all it needs: the view lets it go.
      if (kind_ == ComponentKind::kTodo && file != nullptr && file->Task(local).complete)
        read_complete_.insert(e.identity);
    } else {
      std::tie(file, local) = collection_.At(static_cast<std::size_t>(index - 1));
    }
    if (file == nullptr) throw AutomationError("Array index out of bounds.");
    if (kind_ == ComponentKind::kEvent) return std::make_shared<LocalAppointment>(file, local);
    return std::make_shared<LocalTask>(file, local);
  }

 private:
  struct Entry {
    TDateTime start;
    std::shared_ptr<IcsFile> file;
    std::size_t index = 0;
    std::size_t identity = 0;
  };
  void UpdateView() {
    const TDateTime now = clock_();
    if (built_ && built_version_ == collection_.Version() && now >= built_at_ &&
        now < built_at_ + kViewLife)
      return;
    std::vector<Entry> entries;
    std::unordered_set<std::size_t> identities;
    const std::size_t items = collection_.Count();
    for (std::size_t i = 0; i < items; ++i) {
      auto [file, local] = collection_.At(i);
      if (file == nullptr) continue;
      if (const auto start = kind_ == ComponentKind::kEvent ? ViewStart(file, local, now)
                                                            : TaskViewStart(file, local, now)) {
        const std::size_t identity = file->Fingerprint(local);
        if (kind_ == ComponentKind::kTodo && read_complete_.contains(identity)) continue;
        entries.push_back({*start, file, local, identity});
        identities.insert(identity);
      }
    }
    // The scan goes on where it stopped and reads 150 items a pass. The view is a ring in order of
    // start; when it is built again, the items it did not hold before come first where the scan
    // reads next (a meeting just added is read by the next pass however many others start
    // sooner), then the others from the first one not yet an hour past. Between changes the ring
    // stays still, so every item is read in turn.
    const bool before = built_;
    auto fresh = [&](const Entry& e) { return before && !identities_.contains(e.identity); };
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
      const bool fa = fresh(a), fb = fresh(b);
      return fa != fb ? fa : a.start < b.start;
    });
    const std::size_t n = entries.size();
    const auto old_ones =
        std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return !fresh(e); });
    std::rotate(old_ones,
                std::lower_bound(old_ones, entries.end(), now - 1.0 / 24,
                                 [](const Entry& e, TDateTime t) { return e.start < t; }),
                entries.end());
    // Where the scan reads next, by the view it has been reading: past its end, the scan starts
    // again at the first.
    const std::size_t at = next_ >= 1 && next_ <= entries_.size() && next_ <= n ? next_ - 1 : 0;
    entries_.assign(n, Entry{});
    for (std::size_t j = 0; j < n; ++j) entries_[(at + j) % n] = std::move(entries[j]);
    identities_ = std::move(identities);
    built_ = true;
    built_at_ = now;
    built_version_ = collection_.Version();
  }

  static constexpr double kRefreshAgain = 0.1 / 86400;  // a tenth of a second
  IcsCollection collection_;
  bool look_ = true;  // the next count looks at the files whatever the clock says
  TDateTime refreshed_at_ = 0.0;
  ComponentKind kind_;
  LocalClock clock_;
  bool view_;
  bool built_ = false;
  TDateTime built_at_ = 0.0;
  uint64_t built_version_ = 0;
  std::vector<Entry> entries_;
  std::size_t next_ = 1;                           // the position after the last one read
  std::unordered_set<std::size_t> identities_;     // of the items the view holds
  std::unordered_set<std::size_t> read_complete_;  // complete tasks the scan has read
};

class InboxFolder final : public MAPIFolder,
                          public Items,
                          public std::enable_shared_from_this<InboxFolder> {
 public:
  explicit InboxFolder(std::filesystem::path dir) : inbox_(std::move(dir)) {}
  std::shared_ptr<outlook::Items> Items() override { return shared_from_this(); }
  int UnReadItemCount() override {
    inbox_.Refresh();
    return static_cast<int>(inbox_.UnreadCount());
  }
  int Count() override {
    inbox_.Refresh();
    return static_cast<int>(inbox_.Count());
  }
  std::shared_ptr<OutlookItem> Item(int index) override {
    if (index < 1 || static_cast<std::size_t>(index) > inbox_.Count())
      throw AutomationError("Array index out of bounds.");
    return std::make_shared<ReceivedMail>(inbox_.Message(static_cast<std::size_t>(index - 1)));
  }

 private:
  MaildirInbox inbox_;
};

// "Name <user@example.org>" or "user@example.org": the address alone.
std::string AddressOf(const std::string& from) {
  const std::size_t open = from.rfind('<');
  const std::size_t close = from.rfind('>');
  std::string address = open != std::string::npos && close != std::string::npos && open < close
                            ? from.substr(open + 1, close - open - 1)
                            : from;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!address.empty() && blank(address.back())) address.pop_back();
  while (!address.empty() && blank(address.front())) address.erase(address.begin());
  return address;
}

class LocalApplication final : public Application,
                               public NameSpace,
                               public std::enable_shared_from_this<LocalApplication> {
 public:
  LocalApplication(const StoreProfile& profile, const LocalClock& clock, FolderScope scope,
                   const StoreChanged& changed)
      : calendar_(std::make_shared<IcsFolder>(profile.calendars, ComponentKind::kEvent,
                                              AddressOf(profile.from), clock, scope, changed)),
        tasks_(std::make_shared<IcsFolder>(profile.tasks, ComponentKind::kTodo, std::string(),
                                           clock, scope, changed)),
        inbox_(std::make_shared<InboxFolder>(profile.inbox)) {
    send_ = SendSettingsOf(profile);
  }
  std::shared_ptr<NameSpace> GetNamespace(const std::string& type) override {
    if (type != "MAPI") throw AutomationError("Unknown name space " + type);
    return shared_from_this();
  }
  std::shared_ptr<OutlookItem> CreateItem(int type) override {
    if (type != olMailItem) throw AutomationError("Only mail items can be created");
    return std::make_shared<NewMail>(send_);
  }
  void Quit() override {}
  std::shared_ptr<MAPIFolder> GetDefaultFolder(int folder) override {
    switch (folder) {
      // A scan begins by asking for its folder: its first count looks at the files.
      case olFolderCalendar:
        calendar_->LookAtNextCount();
        return calendar_;
      case olFolderTasks:
        tasks_->LookAtNextCount();
        return tasks_;
      case olFolderInbox:
        return inbox_;
      default:
        return nullptr;
    }
  }

 private:
  std::shared_ptr<IcsFolder> calendar_, tasks_;
  std::shared_ptr<InboxFolder> inbox_;
  SendSettings send_;
};

}  // namespace

SendSettings SendSettingsOf(const StoreProfile& profile) {
  SendSettings s;
  s.outbox = profile.outbox;
  s.sent = profile.sent;
  s.inbox = profile.inbox;
  s.failed = profile.failed;
  s.from = profile.from;
  const bool account = !profile.smtp.server.empty() && !profile.path.empty();
  s.sendmail = account ? SmtpProgram(profile.path) : profile.sendmail;
  // A hand-off may take what its program may: through the account, the password command's limit
  // and the whole submission's, with a moment for the program itself.
  s.timeout = account
                  ? outbox::kPasswordCommandLimit + profile.smtp.timeout + std::chrono::seconds(10)
                  : profile.sendmail_timeout;
  s.expiry = std::chrono::hours(profile.expiry_hours);
  return s;
}

LocalClock SystemLocalClock() {
  return [] { return LocalFromUnix(std::time(nullptr)); };
}

std::shared_ptr<Application> OpenLocalStore(const StoreProfile& profile, LocalClock clock,
                                            FolderScope scope, StoreChanged changed) {
  return std::make_shared<LocalApplication>(profile, clock ? clock : SystemLocalClock(), scope,
                                            changed);
}

Connector MakeLocalStoreConnector(std::filesystem::path profile_path, LocalClock clock,
                                  FolderScope scope, StoreChanged changed) {
  return [profile_path, clock, scope, changed]() -> std::shared_ptr<Application> {
    try {
      return OpenLocalStore(LoadProfile(profile_path), clock, scope, changed);
    } catch (const AutomationError&) {
      throw;
    } catch (const std::exception& e) {
      throw AutomationError(e.what());
    }
  };
}

namespace {

// The profile as its file now says: read again when the file changed, and every few minutes (what
// it leaves out is filled in from what the system has, such as a sendmail program).
StoreProfile CurrentProfile(const std::filesystem::path& path) {
  struct Kept {
    std::filesystem::path path;
    struct stat st {};
    std::chrono::steady_clock::time_point read{};
    StoreProfile profile;
  };
  static std::mutex mutex;
  static std::optional<Kept> kept;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return LoadProfile(path);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex);
  if (kept && kept->path == path && kept->st.st_ino == st.st_ino &&
      kept->st.st_size == st.st_size && kept->st.st_mtim.tv_sec == st.st_mtim.tv_sec &&
      kept->st.st_mtim.tv_nsec == st.st_mtim.tv_nsec && now - kept->read < std::chrono::minutes(5))
    return kept->profile;
  kept = Kept{path, st, now, LoadProfile(path)};
  return kept->profile;
}

}  // namespace

std::vector<std::string> PassOutbox(const std::filesystem::path& profile_path,
                                    std::string& waiting) {
  OutboxReport r = OutboxPass(SendSettingsOf(CurrentProfile(profile_path)));
  waiting.clear();
  if (!r.bounces.empty()) {
    waiting = r.bounces.back();  // said once, at the pass that finds it
  } else if (r.waiting > 0) {
    waiting = std::to_string(r.waiting) + (r.waiting == 1 ? " text waits" : " texts wait") +
              " in the outbox" + (r.why.empty() ? "" : ": " + r.why);
  }
  return std::move(r.log);
}

const char* NoExpansionReason(OutlookItem& item) {
  auto* appointment = dynamic_cast<LocalAppointment*>(&item);
  if (appointment == nullptr) return nullptr;
  const EventData& d = appointment->Data(false);
  return d.recurring ? d.pattern.why_no_expansion : nullptr;
}

bool InView(OutlookItem& item, TDateTime now) {
  auto* appointment = dynamic_cast<LocalAppointment*>(&item);
  return appointment != nullptr && appointment->ViewStart(now).has_value();
}

std::string ItemError(OutlookItem& item) {
  if (auto* a = dynamic_cast<LocalAppointment*>(&item)) return a->Data(false).error;
  if (auto* t = dynamic_cast<LocalTask*>(&item)) return t->Data(false).error;
  return {};
}

}  // namespace outlook::localstore
