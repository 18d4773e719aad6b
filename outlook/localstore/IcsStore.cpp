#include "outlook/localstore/IcsStore.h"

#include <fcntl.h>
#include <libical/ical.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "base/RecordText.h"
#include "outlook/ical/Items.h"
#include "outlook/ical/Libical.h"
#include "outlook/ical/Rules.h"
#include "outlook/ical/Times.h"
#include "platform/AtomicFile.h"

namespace outlook::localstore {

using ical::ComponentPtr;
using ical::LocalTime;
using ical::ReadTime;

TDateTime LocalFromUnix(time_t t) {
  return ical::LocalFromUnix(t);
}

// Time zones by TZID: those the system knows (Windows names too), then the file's VTIMEZONEs.
class IcsFile::ZoneCache final : public ical::ZoneLookup {
 public:
  explicit ZoneCache(IcsFile& file) : file_(file) {}
  ~ZoneCache() override {
    for (icaltimezone* z : owned_) icaltimezone_free(z, 1);
  }
  ZoneCache(const ZoneCache&) = delete;
  ZoneCache& operator=(const ZoneCache&) = delete;

  icaltimezone* Find(const std::string& tzid) override {
    const auto it = cache_.find(tzid);
    if (it != cache_.end()) return it->second;
    icaltimezone* zone = ical::KnownZone(tzid);
    if (zone == nullptr) zone = FileZone(tzid);
    cache_[tzid] = zone;
    return zone;
  }

 private:
  icaltimezone* FileZone(const std::string& tzid) {
    // The file's own definition; its name sometimes carries a stray trailing colon.
    for (const auto& [name, block] : file_.zone_blocks_) {
      std::string trimmed = name;
      while (!trimmed.empty() && (trimmed.back() == ':' || trimmed.back() == ' '))
        trimmed.pop_back();
      if (name != tzid && trimmed != tzid) continue;
      Block b;
      b.offset = block.first;
      b.length = block.second;
      icaltimezone* zone = ical::ZoneFromDefinition(file_.BlockText(b));
      if (zone != nullptr) owned_.push_back(zone);
      return zone;
    }
    return nullptr;
  }

  IcsFile& file_;
  std::map<std::string, icaltimezone*> cache_;
  std::vector<icaltimezone*> owned_;
};

bool IcsFile::Stamp::operator==(const Stamp& o) const {
  return size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
         inode == o.inode;
}

namespace {

// A wall clock in any zone lies within this of the same moment's wall clock in any other
// (offsets run from -12:00 to +14:00), with an hour to spare.
constexpr double kZoneSlack = 27.0 / 24;

// The file the last block was read from, kept open for the next block of the same index: reading
// the blocks of a large calendar one after another costs a read each, not an open and a close.
struct OpenBlockFile {
  uint64_t file = 0;  // the file object's serial number: an address may be used again
  uint64_t generation = 0;
  int fd = -1;
  ~OpenBlockFile() { Close(); }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    file = 0;
  }
};
thread_local OpenBlockFile open_block_file;

}  // namespace

IcsFile::IcsFile(std::string path, ComponentKind kind, std::string user_address, bool keep_text)
    : path_(std::move(path)),
      kind_(kind),
      keep_text_(keep_text),
      user_address_(std::move(user_address)) {
  ical::EnsureLibical();
}

IcsFile::IcsFile(std::shared_ptr<const std::string> name, ComponentKind kind,
                 std::string user_address, std::shared_ptr<const std::string> text,
                 WriteBack write_back)
    : kind_(kind),
      memory_(std::move(text)),
      name_(std::move(name)),
      write_back_(std::move(write_back)),
      user_address_(std::move(user_address)) {
  ical::EnsureLibical();
  if (memory_ == nullptr) memory_ = std::make_shared<const std::string>();
  if (name_ == nullptr) name_ = std::make_shared<const std::string>();
}

IcsFile::~IcsFile() {
  if (open_block_file.file == serial_) open_block_file.Close();
}

void IcsFile::Forget() {
  items_.clear();
  text_pool_.clear();
  text_pool_.shrink_to_fit();
  patterns_.clear();
  errors_.clear();
  zone_blocks_.clear();
  override_blocks_.clear();
  zones_.reset();  // made when a time is first read
  kept_ = {};
  answers_.reset();
  converted_.clear();
  ++generation_;
}

std::string IcsFile::BlockText(const Block& b) const {
  if (memory_ != nullptr) return memory_->substr(b.offset, b.length);
  if (!converted_.empty() || stamp_.size == 0) return converted_.substr(b.offset, b.length);
  if (!kept_.empty() && b.offset >= kept_from_ && b.offset - kept_from_ + b.length <= kept_.size())
    return std::string(kept_.substr(b.offset - kept_from_, b.length));
  std::string text(b.length, '\0');
  OpenBlockFile& open = open_block_file;
  if (open.file != serial_ || open.generation != generation_ || open.fd < 0) {
    open.Close();
    // The file was a regular one when indexed; anything else put in its place since reads short
    // and its blocks read as broken.
    open.fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    open.file = serial_;
    open.generation = generation_;
  }
  const int fd = open.fd;
  if (fd < 0) throw std::runtime_error("Cannot read " + path_ + ": " + std::strerror(ENOENT));
  std::size_t done = 0;
  while (done < b.length) {
    const ssize_t r =
        ::pread(fd, text.data() + done, b.length - done, static_cast<off_t>(b.offset + done));
    if (r <= 0) break;
    done += static_cast<std::size_t>(r);
  }
  text.resize(done);
  return text;
}

EventData IcsFile::Event(std::size_t index) {
  const auto guard = Guard();
  Slot& slot = items_.at(index);
  if (!slot.parsed) ParseEvent(slot);
  EventData data;
  data.subject = text_pool_.substr(slot.text, slot.subject_length);
  data.location = text_pool_.substr(slot.text + slot.subject_length, slot.location_length);
  data.body =
      text_pool_.substr(slot.text + slot.subject_length + slot.location_length, slot.body_length);
  data.start = slot.start;
  data.reminder_minutes = slot.reminder_minutes;
  data.reminder_set = (slot.flags & kReminderSet) != 0;
  data.all_day = (slot.flags & kAllDay) != 0;
  data.cancelled = (slot.flags & kCancelled) != 0;
  data.declined = (slot.flags & kDeclined) != 0;
  data.recurring = slot.recurring;
  if (slot.pattern >= 0) data.pattern = patterns_[static_cast<std::size_t>(slot.pattern)];
  if (slot.error >= 0) data.error = errors_[static_cast<std::size_t>(slot.error)];
  return data;
}

bool IcsFile::SurelyOutside(std::size_t index, TDateTime from, TDateTime to) const {
  const auto guard = Guard();
  const Slot& slot = items_.at(index);
  if (slot.parsed || slot.overrides >= 0 || !(slot.flags & kQuickStart)) return false;
  const double lo = from.Value() - kZoneSlack, hi = to.Value() + kZoneSlack;
  if (!(slot.flags & kQuickSeries)) return slot.start < lo || slot.start > hi;
  // A series: over when its rule ended before the window, not begun when it starts after it.
  if ((slot.flags & kQuickEnds) && slot.quick_end < lo) return true;
  return slot.start > hi;
}

void IcsFile::ParseEvent(Slot& slot) {
  slot.parsed = true;
  // libical builds and frees a tree per block; now and then hand the freed pages back, or a
  // sweep of a large calendar leaves the heap full of holes.
  if (++parsed_ % 1024 == 0) malloc_trim(0);
  auto fail = [&](std::string text) {
    slot.error = static_cast<int32_t>(errors_.size());
    errors_.push_back(std::move(text));
  };
  const ComponentPtr c =
      ical::Parse(ical::EventLines(BlockText(slot), user_address_), ICAL_VEVENT_COMPONENT);
  if (c == nullptr) {
    fail("unreadable event at byte " + std::to_string(slot.offset));
    return;
  }
  LocalTime start;
  const EventData e = ical::ReadEvent(c.get(), Zones(), user_address_, start);
  // Texts longer than a length field holds are cut at a character boundary.
  auto pooled = [&](const std::string& text, uint16_t& length) {
    const std::string kept = ravenox::CutUtf8(text, 65535);
    length = static_cast<uint16_t>(kept.size());
    text_pool_ += kept;
  };
  slot.text = static_cast<uint32_t>(text_pool_.size());
  pooled(e.subject, slot.subject_length);
  pooled(e.location, slot.location_length);
  pooled(e.body, slot.body_length);
  if (!e.error.empty()) fail(e.error);
  slot.start = e.start.Value();
  slot.reminder_minutes = e.reminder_minutes;
  slot.flags =
      static_cast<uint8_t>((e.reminder_set ? kReminderSet : 0) | (e.all_day ? kAllDay : 0) |
                           (e.cancelled ? kCancelled : 0) | (e.declined ? kDeclined : 0));
  if (e.recurring) {
    slot.recurring = true;
    PatternData pattern;
    ical::MapRule(c.get(), start, pattern);
    pattern.has_exceptions = slot.overrides >= 0 || icalcomponent_get_first_property(
                                                        c.get(), ICAL_EXDATE_PROPERTY) != nullptr;
    slot.pattern = static_cast<int32_t>(patterns_.size());
    patterns_.push_back(pattern);
  }
}

// A series' block, parsed again for its exceptions or an occurrence.
struct IcsFile::Series {
  ComponentPtr master;
  LocalTime start;
  const PatternData* pattern = nullptr;
};

IcsFile::Series IcsFile::OpenSeries(std::size_t index) {
  Slot& slot = items_.at(index);
  if (!slot.parsed) ParseEvent(slot);
  if (slot.error >= 0) throw std::runtime_error(errors_[static_cast<std::size_t>(slot.error)]);
  if (slot.pattern < 0) throw std::runtime_error("the appointment does not recur");
  Series series;
  series.master =
      ical::Parse(ical::EventLines(BlockText(slot), user_address_), ICAL_VEVENT_COMPONENT);
  if (series.master == nullptr)
    throw std::runtime_error("unreadable event at byte " + std::to_string(slot.offset));
  series.start = ReadTime(
      icalcomponent_get_first_property(series.master.get(), ICAL_DTSTART_PROPERTY), Zones());
  series.pattern = &patterns_[static_cast<std::size_t>(slot.pattern)];
  return series;
}

std::unique_lock<std::recursive_mutex> IcsFile::Guard() const {
  // Striped: a vdir holds thousands of files, and a lock each would cost more than most of them.
  static std::recursive_mutex stripes[64];
  return std::unique_lock(stripes[serial_ % 64]);
}

IcsFile::ZoneCache& IcsFile::Zones() {
  if (zones_ == nullptr) zones_ = std::make_unique<ZoneCache>(*this);
  return *zones_;
}

IcsFile::Answers& IcsFile::Kept() {
  // A bound on what is kept: the scans' questions about the days around now come back in a few
  // hundred entries; a caller walking far more days starts it afresh now and then.
  constexpr std::size_t kMostKept = 8192;
  if (answers_ == nullptr || answers_->Size() > kMostKept) answers_ = std::make_unique<Answers>();
  return *answers_;
}

std::vector<ExceptionData> IcsFile::Exceptions(std::size_t index) {
  const auto guard = Guard();
  {
    // Most series have none: nothing to keep for them.
    Slot& slot = items_.at(index);
    if (!slot.parsed) ParseEvent(slot);
    if (slot.pattern < 0 || !patterns_[static_cast<std::size_t>(slot.pattern)].has_exceptions)
      return {};
  }
  Answers& kept = Kept();
  const auto it = kept.exceptions.find(index);
  if (it != kept.exceptions.end()) return it->second;
  std::vector<ExceptionData> out = ReadExceptions(index);
  Kept().exceptions[index] = out;
  return out;
}

std::shared_ptr<const EventData> IcsFile::Occurrence(std::size_t index, TDateTime day) {
  const auto guard = Guard();
  const DayKey key{index, ravenox::DateOf(day).Value()};
  {
    Answers& kept = Kept();
    const auto it = kept.occurrences.find(key);
    if (it != kept.occurrences.end()) {
      if (!it->second.second.empty()) throw std::runtime_error(it->second.second);
      return it->second.first;
    }
  }
  std::pair<std::shared_ptr<const EventData>, std::string> answer;
  try {
    answer.first = std::make_shared<const EventData>(FindOccurrence(index, day));
  } catch (const std::exception& e) {
    answer.second = e.what();
    if (answer.second.empty()) answer.second = "the rule has no occurrence that day";
  }
  Kept().occurrences[key] = answer;
  if (!answer.second.empty()) throw std::runtime_error(answer.second);
  return answer.first;
}

std::vector<ExceptionData> IcsFile::ReadExceptions(std::size_t index) {
  {
    Slot& slot = items_.at(index);
    if (!slot.parsed) ParseEvent(slot);
    if (slot.pattern < 0 || !patterns_[static_cast<std::size_t>(slot.pattern)].has_exceptions)
      return {};
  }
  const Series series = OpenSeries(index);
  const double at = ravenox::TimeOf(series.pattern->start_time);
  std::vector<ExceptionData> out =
      ical::DeletedOccurrences(series.master.get(), series.start, at, Zones());
  const int32_t overrides = items_[index].overrides;
  if (overrides < 0) return out;
  for (const Block& b : override_blocks_[static_cast<std::size_t>(overrides)]) {
    const ical::ComponentPtr o =
        ical::Parse(ical::EventLines(BlockText(b), user_address_), ICAL_VEVENT_COMPONENT);
    if (o == nullptr) continue;
    if (auto d = ical::ChangedOccurrence(o.get(), series.start, at, Zones(), user_address_))
      out.push_back(std::move(*d));
  }
  return out;
}

EventData IcsFile::FindOccurrence(std::size_t index, TDateTime day) {
  const TDateTime wanted = ravenox::DateOf(day);
  for (ExceptionData& x : Exceptions(index)) {
    if (ravenox::DateOf(x.original) != wanted) continue;
    if (x.deleted) throw std::runtime_error("the occurrence was deleted");
    return std::move(x.event);
  }
  const Series series = OpenSeries(index);
  if (series.pattern->type == kNoExpansion || ical::Impossible(*series.pattern))
    throw std::runtime_error("the rule has no occurrence that day");
  const icaltimetype found = ical::RuleOccurrenceOn(series.master.get(), series.start, wanted);
  if (icaltime_is_null_time(found)) throw std::runtime_error("the rule has no occurrence that day");
  EventData e = Event(index);
  e.recurring = false;
  e.pattern = PatternData{};
  e.start = ical::LocalOf(found, series.start);
  return e;
}

TDateTime IcsFile::TimeInZone(_icaltimezone* zone, TDateTime local) {
  return ical::TimeInZone(zone, local);
}

TDateTime IcsFile::SeriesTime(std::size_t index, TDateTime local) {
  const auto guard = Guard();
  Slot& slot = items_.at(index);
  if (!slot.parsed) ParseEvent(slot);
  if (slot.pattern < 0) return local;
  return TimeInZone(patterns_[static_cast<std::size_t>(slot.pattern)].zone, local);
}

EventData IcsFile::Look(std::size_t index) {
  const auto guard = Guard();
  const Slot& slot = items_.at(index);
  if (slot.parsed) {
    EventData d;
    d.start = slot.start;
    d.recurring = slot.recurring;
    if (slot.pattern >= 0) d.pattern = patterns_[static_cast<std::size_t>(slot.pattern)];
    if (slot.error >= 0) d.error = errors_[static_cast<std::size_t>(slot.error)];
    return d;
  }
  // The parse's own verdicts, from the lines that decide them.
  EventData d;
  const ComponentPtr c = ical::Parse(ical::EventLines(BlockText(slot), {}, ical::kShapeProperties),
                                     ICAL_VEVENT_COMPONENT);
  if (c == nullptr) {
    d.error = "unreadable event at byte " + std::to_string(slot.offset);
    return d;
  }
  const LocalTime start =
      ReadTime(icalcomponent_get_first_property(c.get(), ICAL_DTSTART_PROPERTY), Zones());
  if (!start.present) d.error = "event without a start";
  d.start = start.value;
  d.recurring =
      icalcomponent_get_first_property(c.get(), ICAL_RRULE_PROPERTY) != nullptr && start.present;
  if (d.recurring) {
    ical::MapRule(c.get(), start, d.pattern);
    d.pattern.has_exceptions = slot.overrides >= 0 || icalcomponent_get_first_property(
                                                          c.get(), ICAL_EXDATE_PROPERTY) != nullptr;
  }
  return d;
}

std::size_t IcsFile::Fingerprint(std::size_t index) const {
  const auto guard = Guard();
  return std::hash<std::string>()(BlockText(items_.at(index)));
}

const TaskData& IcsFile::Task(std::size_t index) {
  const auto guard = Guard();
  Slot& b = items_.at(index);
  if (b.task) return *b.task;
  ++parsed_;
  const ical::ComponentPtr c = ical::Parse(BlockText(b), ICAL_VTODO_COMPONENT);
  if (c == nullptr) {
    TaskData unreadable;
    unreadable.error = "unreadable task at byte " + std::to_string(b.offset);
    b.task = std::make_unique<TaskData>(std::move(unreadable));
  } else {
    b.task = std::make_unique<TaskData>(ical::ReadTask(c.get(), Zones()));
  }
  return *b.task;
}

bool IcsFile::SkipRecurrence(std::size_t index, time_t today) {
  const auto guard = Guard();
  if (memory_ != nullptr) {
    const Block& b = items_.at(index);
    const ical::ComponentPtr c = ical::Parse(BlockText(b), ICAL_VTODO_COMPONENT);
    if (c == nullptr || !write_back_) return false;
    const std::string replacement = ical::MovedTask(c.get(), today, Zones());
    if (replacement.empty() || !write_back_(replacement)) return false;
    // What was saved is read at once, as a file written back would be.
    std::string whole = *memory_;
    whole.replace(b.offset, b.length, replacement);
    memory_ = std::make_shared<const std::string>(std::move(whole));
    Index(-1);
    return true;
  }
  // Only a file that is still what was read may be written back.
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) return false;
  if (!(Stamp{st.st_size, st.st_mtim, st.st_ino} == stamp_) || !converted_.empty()) return false;
  const Block& b = items_.at(index);
  const std::string block = BlockText(b);
  const ical::ComponentPtr c = ical::Parse(block, ICAL_VTODO_COMPONENT);
  if (c == nullptr) return false;
  const std::string replacement = ical::MovedTask(c.get(), today, Zones());
  if (replacement.empty()) return false;

  std::string whole = ReadAll();
  if (whole.size() != static_cast<std::size_t>(stamp_.size) ||
      whole.compare(b.offset, b.length, block) != 0)
    return false;
  whole.replace(b.offset, b.length, replacement);
  ravenox::platform::WriteFileAtomically(path_, whole, 0600);
  stamp_ = Stamp{};
  Refresh();
  return true;
}

}  // namespace outlook::localstore
