// The three state files: the marker 20, then fixed-size records back to back, little-endian.
//
//   NOTIFY.CLD  273 bytes: text(256) StartTime(8) NotifyTime(8) Notified(1)
//   TASK.CLD    307 bytes: text(256) StartDate DueDay NextReminder PreNotifyDay EventDate (8 each)
//                          Notified(1) PreNotified(1) LastNotified(8) Complete(1)
//   EMAIL.CLD   264 bytes: text(256) FirstSeen(8)
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

inline constexpr const char* kNotifyFileName = "NOTIFY.CLD";
inline constexpr const char* kTaskFileName = "TASK.CLD";
inline constexpr const char* kEmailFileName = "EMAIL.CLD";

std::string EncodeStateFile(const TNotifyList& list);
std::string EncodeStateFile(const TTaskList& list);
std::string EncodeStateFile(const TEmailList& list);

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

}  // namespace ravenox::engine
