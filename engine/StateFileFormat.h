// The three state files: the marker 20, then fixed-size records back to back, little-endian.
//
//   NOTIFY.CLD  273 bytes: text(256) StartTime(8) NotifyTime(8) Notified(1)
//   TASK.CLD    307 bytes: text(256) StartDate DueDay NextReminder PreNotifyDay EventDate (8 each)
//                          Notified(1) PreNotified(1) LastNotified(8) Complete(1)
//   EMAIL.CLD   264 bytes: text(256) FirstSeen(8)
//   FIRST.CLD   one 16-byte record: NextMorningCheck(8) NextEveningCheck(8), so a restart inside
//               the morning's or the evening's quarter hour sends no second "First:" notice
//
// A text field is one length byte and 255 bytes of text, zero-filled. Dates are IEEE doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/Records.h"

namespace ravenox::engine {

inline constexpr int32_t kStateFileMarker = 20;
inline constexpr std::size_t kNotifyRecordSize = 273;
inline constexpr std::size_t kTaskRecordSize = 307;
inline constexpr std::size_t kEmailRecordSize = 264;
// No list holds more records than this; a larger file is not one of ours.
inline constexpr std::size_t kMaxStateRecords = 100000;

inline constexpr const char* kNotifyFileName = "NOTIFY.CLD";
inline constexpr const char* kTaskFileName = "TASK.CLD";
inline constexpr const char* kEmailFileName = "EMAIL.CLD";
inline constexpr const char* kFirstFileName = "FIRST.CLD";
inline constexpr std::size_t kFirstFileSize = 4 + 16;

// When the morning and the evening notice may next run.
struct FirstChecks {
  TDateTime morning, evening;
};

std::string EncodeStateFile(const TNotifyList& list);
std::string EncodeStateFile(const TTaskList& list);
std::string EncodeStateFile(const TEmailList& list);
std::string EncodeStateFile(const FirstChecks& checks);
// Every stored field but the texts, in record order: with the list's generation, what tells
// whether a list still encodes as it did (a record's text never changes once it is in a list).
void EncodeFieldsBesideTexts(const TNotifyList& list, std::string& out);
void EncodeFieldsBesideTexts(const TTaskList& list, std::string& out);
void EncodeFieldsBesideTexts(const TEmailList& list, std::string& out);
// The same into `out`, whose room is kept from one pass to the next.
void EncodeStateFile(const TNotifyList& list, std::string& out);
void EncodeStateFile(const TTaskList& list, std::string& out);
void EncodeStateFile(const TEmailList& list, std::string& out);

struct DecodeResult {
  bool marker_ok = false;
  std::size_t records = 0;  // whole records read (duplicates included)
  bool cut = false;         // the file ends inside a record
  std::size_t cut_offset = 0;
};

// Adds every whole record of `bytes` to `list` (a key already present keeps the earlier record).
// A wrong marker adds nothing.
DecodeResult DecodeStateFile(std::string_view bytes, TNotifyList& list);
DecodeResult DecodeStateFile(std::string_view bytes, TTaskList& list);
DecodeResult DecodeStateFile(std::string_view bytes, TEmailList& list);
// Sets `checks` from a whole file of the right size; a date that is not a plain day number (not
// finite, negative, past the year 9999) reads as 0.
DecodeResult DecodeStateFile(std::string_view bytes, FirstChecks& checks);

}  // namespace ravenox::engine
