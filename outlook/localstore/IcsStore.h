// Calendars and task lists kept as iCalendar: a single .ics file or a vdir (a folder of .ics
// files). A file is indexed in one pass over its bytes (where each VEVENT, VTODO and VTIMEZONE
// lies); a block is handed to libical only when it is first read, and what the engine reads of it
// is kept instead of libical's tree. A file is indexed again only when it changes.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/DateTime.h"
#include "outlook/ical/ItemData.h"

struct _icaltimezone;

namespace outlook::localstore {

using ravenox::TDateTime;

// What is read of an item, as the iCalendar mapping has it.
using ical::EventData;
using ical::ExceptionData;
using ical::kNoExpansion;
using ical::PatternData;
using ical::TaskData;

enum class ComponentKind { kEvent, kTodo };

// One .ics file. Once indexed (Refresh), its items may be read from several threads.
class IcsFile {
 public:
  // `user_address`: the user's own mail address, which tells the user's reply among a meeting's
  // attendees.
  // `keep_text`: the file is read once, whole (the inspector): a small one keeps its bytes.
  IcsFile(std::string path, ComponentKind kind, std::string user_address = {},
          bool keep_text = false);
  // Saves a task moved on (its VTODO) where the item is kept; true when it was.
  using WriteBack = std::function<bool(const std::string& component)>;
  // An item kept in memory (the desktop's calendar service holds it, not a file): `name` says
  // where it comes from (shared by the items of a source); `text` is read as a file's bytes would
  // be, and `write_back` saves it.
  IcsFile(std::shared_ptr<const std::string> name, ComponentKind kind, std::string user_address,
          std::shared_ptr<const std::string> text, WriteBack write_back);
  ~IcsFile();
  IcsFile(const IcsFile&) = delete;
  IcsFile& operator=(const IcsFile&) = delete;

  // Indexes the file again if it changed on disk. Throws std::runtime_error when it cannot be read.
  // `folder`: the file's folder, open, where it is known.
  void Refresh(int folder = -1);
  std::size_t Count() const { return items_.size(); }
  EventData Event(std::size_t index);
  // What the calendar's view needs of the event at `index`: its start, whether it recurs and by
  // which rule, and why it cannot be read; the strings are left empty. An event not parsed yet is
  // read for its start and rule alone.
  EventData Look(std::size_t index);
  // A fingerprint of the event's text as the file holds it: changed when the event is.
  std::size_t Fingerprint(std::size_t index) const;
  // The wall-clock time in `zone` (none: floating) at the local time `local`.
  static TDateTime TimeInZone(_icaltimezone* zone, TDateTime local);
  // For the series at `index`: its occurrence on `day` (a day of the series' calendar), changed
  // or as the rule has it; std::runtime_error when it has none that day (deleted, or not a day
  // of the rule).
  // Shared with the kept answer: a scan asks the same days of the same series at every pass.
  std::shared_ptr<const EventData> Occurrence(std::size_t index, TDateTime day);
  // Its deleted and changed occurrences.
  std::vector<ExceptionData> Exceptions(std::size_t index);
  // Whether the event at `index` surely has no occurrence between the local times `from` and
  // `to`, told from its start line and rule alone without reading the rest of it: a single event
  // far from them, a series whose rule ended before or that begins after. False when that cannot
  // be told so (changed occurrences, extra dates, a count).
  bool SurelyOutside(std::size_t index, TDateTime from, TDateTime to) const;
  // Whether the series at `index` has changed occurrences (which may lie on other days).
  bool HasChangedOccurrences(std::size_t index) const { return items_.at(index).overrides >= 0; }
  // The wall-clock time in the series' calendar at the local time `local`.
  TDateTime SeriesTime(std::size_t index, TDateTime local);
  // Counts the times the file was indexed: what was read of an earlier index no longer holds.
  uint64_t Generation() const { return generation_; }
  const TaskData& Task(std::size_t index);
  // Moves a recurring task on to its first instance that is not wholly before `today` (the Unix
  // time of local midnight), or its last one, and writes the file back, once; false when the rule
  // has no later instance, nothing would change, or the file changed since it was read.
  bool SkipRecurrence(std::size_t index, time_t today);
  std::filesystem::path Path() const { return PathText(); }
  const std::string& PathText() const { return name_ != nullptr ? *name_ : path_; }
  // How many blocks libical has parsed since the file was opened (for tests and benchmarks).
  std::size_t Parsed() const { return parsed_; }

 private:
  struct Block {
    std::size_t offset = 0, length = 0;
  };
  // A slot's flags.
  static constexpr uint8_t kReminderSet = 1, kAllDay = 2, kCancelled = 4, kDeclined = 8;
  // Before the parse: the start was read from the start line alone and is in the slot.
  static constexpr uint8_t kQuickStart = 16, kQuickSeries = 32, kQuickEnds = 64;

 public:
  // Far beyond any calendar a person keeps; a larger "file" is a device or a mistake.
  static constexpr std::size_t kMaxFileSize = std::size_t{1} << 30;

 private:
  // An event as kept after parsing: its texts in the file's text pool, its pattern (if it
  // recurs) and error (if any) in side tables. A sweep of a large calendar keeps a few dozen bytes
  // per event besides its texts.
  struct Slot : Block {
    bool parsed = false;
    bool recurring = false;
    uint16_t subject_length = 0, location_length = 0, body_length = 0;
    uint32_t text = 0;  // offset in text_pool_
    int32_t reminder_minutes = 15;
    int32_t pattern = -1;    // index in patterns_
    int32_t error = -1;      // index in errors_
    int32_t overrides = -1;  // index in override_blocks_: the changed occurrences of a series
    uint8_t flags = 0;       // kReminderSet, kAllDay, kCancelled, kDeclined; before the
                             // parse kQuickStart, kQuickSeries, kQuickEnds
    float quick_end = 0.0F;  // before the parse: the day after a series' rule ends, as written
    double start = 0.0;      // before the parse: the start as written, with kQuickStart
    std::unique_ptr<TaskData> task;
  };
  // What a series' rule gave (an occurrence or why there is none) and its exceptions, kept until
  // the file changes: a scan asks for the same days of the same series on every pass, and each
  // answer otherwise costs a parse of the block and a walk of the rule.
  // Hashed: a scan asks a few hundred of them in a pass, long after the last pass left the
  // processor's caches, and a tree would cost a walk of cold nodes for each.
  struct DayKey {
    std::size_t index;
    double day;
    bool operator==(const DayKey&) const = default;
  };
  struct DayKeyHash {
    std::size_t operator()(const DayKey& k) const {
      return std::hash<std::size_t>()(k.index) * 31 + std::hash<double>()(k.day);
    }
  };
  struct Answers {
    std::unordered_map<DayKey, std::pair<std::shared_ptr<const EventData>, std::string>, DayKeyHash>
        occurrences;
    std::unordered_map<std::size_t, std::vector<ExceptionData>> exceptions;
    std::size_t Size() const { return occurrences.size() + exceptions.size(); }
  };
  Answers& Kept();
  EventData FindOccurrence(std::size_t index, TDateTime day);
  std::vector<ExceptionData> ReadExceptions(std::size_t index);
  struct Stamp {
    off_t size = -1;
    timespec mtime{};
    ino_t inode = 0;
    bool operator==(const Stamp& o) const;
  };
  class ZoneCache;
  ZoneCache& Zones();
  // Held while an item is read: reading parses and keeps what it parsed.
  std::unique_lock<std::recursive_mutex> Guard() const;

  // Indexes the file open at `fd` (closed when done), whose stamp was just taken; -1: the text
  // kept in memory.
  void Index(int fd);
  // Lets go of all that was read of the file: a new index begins.
  void Forget();
  void ParseEvent(Slot& slot);
  // The parsed block of a series at `index`, checked to be one; throws std::runtime_error.
  struct Series;
  Series OpenSeries(std::size_t index);
  std::string BlockText(const Block& b) const;
  std::string ReadAll() const;

  std::string path_;  // a string: a vdir holds thousands, and a path object costs several times it
  ComponentKind kind_;
  bool keep_text_ = false;
  std::string_view kept_;  // of a small file read once, its items' bytes, for the process's life
  std::size_t kept_from_ = 0;  // where they start in the file
  Stamp stamp_;
  std::string converted_;  // the whole file, only when it had to be converted (UTF-16)
  std::shared_ptr<const std::string> memory_;  // the whole text, of an item kept in memory
  std::shared_ptr<const std::string> name_;    // and where it comes from
  WriteBack write_back_;
  std::vector<Slot> items_;
  std::string text_pool_;
  std::vector<PatternData> patterns_;
  std::vector<std::string> errors_;
  std::vector<std::vector<Block>> override_blocks_;
  std::string user_address_;
  uint64_t generation_ = 0;
  std::map<std::string, std::pair<std::size_t, std::size_t>> zone_blocks_;  // TZID -> block
  std::unique_ptr<ZoneCache> zones_;
  std::unique_ptr<Answers> answers_;  // made at the first question
  std::size_t parsed_ = 0;
  const uint64_t serial_ = ++serials_;  // tells this object from any other, past or present
  static inline std::atomic<uint64_t> serials_{0};
};

// Local time of a moment given by the system clock (seconds since the epoch).
TDateTime LocalFromUnix(time_t t);

}  // namespace outlook::localstore
