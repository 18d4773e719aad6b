#include "outlook/fake/FakeOutlook.h"

#include <cmath>

namespace outlook::fake {

void Faults::FailOn(const std::string& member, int times, const std::string& message) {
  std::lock_guard lock(mutex_);
  plans_[member] = {times, message};
}

void Faults::Clear(const std::string& member) {
  std::lock_guard lock(mutex_);
  plans_.erase(member);
}

void Faults::Check(const std::string& member) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(member);
    hook = hook_;
  }
  if (hook) hook(member);
  std::lock_guard lock(mutex_);
  const auto it = plans_.find(member);
  if (it == plans_.end() || it->second.times == 0) return;
  const std::string message = it->second.message;
  if (it->second.times > 0) --it->second.times;
  throw AutomationError(message);
}

std::vector<std::string> Faults::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int Faults::CountOf(const std::string& member) const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const auto& c : calls_) n += c == member ? 1 : 0;
  return n;
}

void Faults::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void Faults::SetHook(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

bool FakeTask::SkipRecurrence() {
  faults_->Check("Task.SkipRecurrence");
  if (skip_refused) return false;
  if (on_skip) {
    on_skip(*this);
    return true;
  }
  if (start_date.Value() != kNoDateValue) start_date += skip_days;
  if (due_date.Value() != kNoDateValue) due_date += skip_days;
  if (reminder_time.Value() != kNoDateValue) reminder_time += skip_days;
  return true;
}

void FakeMail::Send() {
  faults_->Check("Mail.Send");
  if (owner_ != nullptr) owner_->RecordSent({to, subject, body, identity});
}

std::shared_ptr<outlook::Items> FakeFolder::Items() {
  faults_->Check("Folder.Items");
  return shared_from_this();
}

int FakeFolder::UnReadItemCount() {
  faults_->Check("Folder.UnReadItemCount");
  int n = 0;
  for (const auto& item : items) {
    const auto mail = std::dynamic_pointer_cast<FakeMail>(item);
    if (mail != nullptr && mail->unread) ++n;
  }
  return n;
}

int FakeFolder::Count() {
  faults_->Check("Items.Count");
  return static_cast<int>(items.size());
}

std::shared_ptr<outlook::OutlookItem> FakeFolder::Item(int index) {
  faults_->Check("Items.Item");
  if (index < 1 || index > static_cast<int>(items.size()))
    throw AutomationError("Array index out of bounds.");
  return items[static_cast<std::size_t>(index - 1)];
}

namespace {

int64_t DayKey(TDateTime t) {
  return static_cast<int64_t>(std::floor(t.Value()));
}

class FakeException final : public Exception {
 public:
  FakeException(TDateTime original, std::shared_ptr<FakeAppointment> item)
      : original_(original), item_(std::move(item)) {}
  TDateTime OriginalDate() override { return original_; }
  bool Deleted() override { return item_ == nullptr; }
  std::shared_ptr<outlook::AppointmentItem> AppointmentItem() override {
    if (item_ == nullptr) throw AutomationError("The occurrence was deleted.");
    return item_;
  }

 private:
  TDateTime original_;
  std::shared_ptr<FakeAppointment> item_;
};

}  // namespace

std::shared_ptr<AppointmentItem> FakePattern::GetOccurrence(TDateTime date) {
  faults_->Check("Pattern.GetOccurrence");
  for (const TDateTime d : deleted) {
    if (DayKey(d) == DayKey(date)) throw AutomationError("The occurrence was deleted.");
  }
  if (const auto it = changed.find(DayKey(date)); it != changed.end()) return it->second;
  if (owner_ == nullptr) throw AutomationError("The pattern belongs to no appointment.");
  auto occurrence = std::make_shared<FakeAppointment>(owner_->faults());
  occurrence->subject = owner_->subject;
  occurrence->location = owner_->location;
  occurrence->body = owner_->body;
  occurrence->reminder_minutes = owner_->reminder_minutes;
  occurrence->reminder_set = owner_->reminder_set;
  occurrence->all_day = owner_->all_day;
  occurrence->meeting_status = owner_->meeting_status;
  occurrence->response_status = owner_->response_status;
  occurrence->start = std::floor(date.Value()) + TimeOf(start_time) - time_shift;
  return occurrence;
}

std::shared_ptr<Exceptions> FakePattern::Exceptions() {
  faults_->Check("Pattern.Exceptions");
  auto out = std::make_shared<ExceptionList>();
  for (const TDateTime d : deleted)
    out->list.push_back(
        std::make_shared<FakeException>(std::floor(d.Value()) + TimeOf(start_time), nullptr));
  for (const auto& [day, item] : changed)
    out->list.push_back(
        std::make_shared<FakeException>(static_cast<double>(day) + TimeOf(start_time), item));
  return out;
}

void FakePattern::ChangeOccurrence(TDateTime day, std::shared_ptr<FakeAppointment> occurrence) {
  changed[DayKey(day)] = std::move(occurrence);
}

FakeOutlook::FakeOutlook()
    : calendar(std::make_shared<FakeFolder>(faults, "Calendar")),
      tasks(std::make_shared<FakeFolder>(faults, "Tasks")),
      inbox(std::make_shared<FakeFolder>(faults, "Inbox")) {}

std::shared_ptr<FakeAppointment> FakeOutlook::AddAppointment() {
  auto item = std::make_shared<FakeAppointment>(faults);
  calendar->items.push_back(item);
  return item;
}

std::shared_ptr<FakeTask> FakeOutlook::AddTask() {
  auto item = std::make_shared<FakeTask>(faults);
  tasks->items.push_back(item);
  return item;
}

std::shared_ptr<FakeMail> FakeOutlook::AddMail() {
  auto item = std::make_shared<FakeMail>(faults);
  inbox->items.push_back(item);
  return item;
}

std::vector<SentMail> FakeOutlook::Sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

int FakeOutlook::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

int FakeOutlook::Quits() const {
  std::lock_guard lock(mutex_);
  return quits_;
}

void FakeOutlook::RecordSent(SentMail mail) {
  std::lock_guard lock(mutex_);
  sent_.push_back(std::move(mail));
}

Connector FakeOutlook::MakeConnector() {
  std::weak_ptr<FakeOutlook> weak = weak_from_this();
  return [weak]() -> std::shared_ptr<Application> {
    auto self = weak.lock();
    if (self == nullptr) throw AutomationError("Outlook is gone");
    self->faults->Check("Connect");
    std::lock_guard lock(self->mutex_);
    ++self->connections_;
    return self;
  };
}

std::shared_ptr<NameSpace> FakeOutlook::GetNamespace(const std::string& type) {
  faults->Check("Application.GetNamespace");
  if (type != "MAPI") throw AutomationError("Unknown name space " + type);
  return shared_from_this();
}

std::shared_ptr<outlook::OutlookItem> FakeOutlook::CreateItem(int type) {
  faults->Check("Application.CreateItem");
  if (type != olMailItem) throw AutomationError("Unsupported item type");
  return std::make_shared<FakeMail>(faults, this);
}

void FakeOutlook::Quit() {
  faults->Check("Application.Quit");
  std::lock_guard lock(mutex_);
  ++quits_;
}

std::shared_ptr<MAPIFolder> FakeOutlook::GetDefaultFolder(int folder) {
  faults->Check("NameSpace.GetDefaultFolder");
  for (const int missing : missing_folders) {
    if (missing == folder) return nullptr;
  }
  switch (folder) {
    case olFolderCalendar:
      return calendar;
    case olFolderTasks:
      return tasks;
    case olFolderInbox:
      return inbox;
    default:
      throw AutomationError("No such folder");
  }
}

std::shared_ptr<FakeOutlook> MakeFakeOutlook() {
  return std::make_shared<FakeOutlook>();
}

}  // namespace outlook::fake
