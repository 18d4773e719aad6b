// What the engine remembers of each meeting occurrence, task and urgent mail, in sorted lists
// keyed by the record's text.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/Collation.h"
#include "base/DateTime.h"
#include "base/RecordText.h"

namespace ravenox::engine {

// One upcoming calendar occurrence.
struct TEventItem {
  std::string Text;  // key and message text, at most 255 bytes
  TDateTime StartTime;
  TDateTime NotifyTime;
  bool Notified = false;
  TDateTime LastSeen;   // when a scan last met it; not stored
  int Sweep = 0;        // the sweep of the calendar that last met it (0: none yet); not stored
  bool AllDay = false;  // an all-day event, never the day's first meeting; not stored
};

// One task.
struct TTaskEvent {
  std::string Text;
  TDateTime StartDate;
  TDateTime DueDay;
  TDateTime NextReminder;
  TDateTime PreNotifyDay;
  TDateTime EventDate;
  bool Notified = false;
  bool PreNotified = false;
  TDateTime LastNotified;
  bool Complete = false;
  int Sweep = 0;  // the sweep of the task folder that last met it (0: none yet); not stored
};

// One urgent mail already reported.
struct TEmailItem {
  std::string Text;
  TDateTime FirstSeen;
};

// A value never given before in this process, for TSortedList::Generation.
inline uint64_t NextListGeneration() {
  static std::atomic<uint64_t> next{0};
  return next.fetch_add(1, std::memory_order_relaxed) + 1;
}

// A sorted list that owns its records: ordered by the locale-aware, case-insensitive comparison of
// their texts, at most one record per key. Removing an entry frees its record.
template <typename Record>
class TSortedList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  Record& operator[](int index) { return *items_[static_cast<std::size_t>(index)]; }
  const Record& operator[](int index) const { return *items_[static_cast<std::size_t>(index)]; }

  // Binary search. True when found; `index` is then its position, else where it would go.
  bool Find(std::string_view key, int& index) const {
    int low = 0, high = Count() - 1;
    while (low <= high) {
      const int mid = low + (high - low) / 2;
      const int c = CompareText(items_[static_cast<std::size_t>(mid)]->Text, key);
      if (c < 0) {
        low = mid + 1;
      } else if (c > 0) {
        high = mid - 1;
      } else {
        index = mid;
        return true;
      }
    }
    index = low;
    return false;
  }

  Record* Lookup(std::string_view key) {
    // A scan meets most keys again byte for byte as they were added: those are found without
    // walking the list and comparing by the locale, which costs the most of a pass through a large
    // calendar. Any other spelling of a key is found by the search.
    if (const auto it = exact_.find(key); it != exact_.end()) return it->second;
    int index = 0;
    return Find(key, index) ? items_[static_cast<std::size_t>(index)].get() : nullptr;
  }

  // Adds the record under its text (cut to the stored length first). When the key is already
  // present the list keeps the earlier record, discards this one and returns false.
  bool Add(std::unique_ptr<Record> record) {
    record->Text = RecordText(record->Text);
    int index = 0;
    if (Find(record->Text, index)) return false;
    Record* added = record.get();
    items_.insert(items_.begin() + index, std::move(record));
    exact_.emplace(added->Text, added);
    Changed();
    return true;
  }

  void Delete(int index) {
    exact_.erase(items_[static_cast<std::size_t>(index)]->Text);
    items_.erase(items_.begin() + index);
    Changed();
  }
  void Clear() {
    exact_.clear();
    items_.clear();
    Changed();
  }

  // Which records the list holds, in which order: a value no other list or moment has had. A
  // record's text is its key and is never changed once added, so two moments of one generation
  // differ at most in the records' other fields.
  uint64_t Generation() const { return generation_; }

 private:
  void Changed() { generation_ = NextListGeneration(); }
  std::vector<std::unique_ptr<Record>> items_;
  // Each record by its text as stored (the view is of the record's own text, which never changes
  // and never moves: the record is owned apart from the vector).
  std::unordered_map<std::string_view, Record*> exact_;
  uint64_t generation_ = NextListGeneration();
};

// The keys of a list, one per line (CR LF), for the files that show people what the engine
// tracks. Line breaks inside a key (from meeting notes) are shown as spaces.
template <typename Record>
std::string KeyLines(const TSortedList<Record>& list) {
  std::string text;
  for (int i = 0; i < list.Count(); ++i) {
    for (const char c : list[i].Text) text.push_back(c == '\r' || c == '\n' ? ' ' : c);
    text += "\r\n";
  }
  return text;
}

using TNotifyList = TSortedList<TEventItem>;
using TTaskList = TSortedList<TTaskEvent>;
using TEmailList = TSortedList<TEmailItem>;

}  // namespace ravenox::engine
