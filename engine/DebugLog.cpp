// The engine's running log: lines in memory, mirrored to "DEBUG.LOG" once there are more than 250,
// rotated to "backup_DEBUG.LOG" past 2500. A pass logs hundreds of lines within milliseconds; they
// reach the file together at the end of the pass (before the wait), when an error is recorded,
// before a rotation and when the engine stops, not one write per line.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "base/Formats.h"
#include "engine/OutlookProcessorUnit.h"
#include "platform/AtomicFile.h"

namespace ravenox::engine {
namespace {

constexpr std::size_t kWriteAbove = 250;
constexpr std::size_t kRotateAbove = 2500;
constexpr std::size_t kKeepAfterRotation = 500;

constexpr const char* kDebugFile = "DEBUG.LOG";
constexpr const char* kBackupFile = "backup_DEBUG.LOG";

}  // namespace

void TOutlookProcessor::AddDebugLine(const std::string& line) {
  AppendDebugLine({}, line);
}

void TOutlookProcessor::AppendDebugLine(std::string_view stamp, std::string_view message) {
  debug_text_.append(stamp).append(message).append("\r\n");
  debug_ends_.push_back(debug_text_.size());
}

std::vector<std::string> TOutlookProcessor::DebugLines() const {
  std::vector<std::string> lines;
  lines.reserve(debug_ends_.size());
  std::size_t from = 0;
  for (const std::size_t end : debug_ends_) {
    lines.emplace_back(debug_text_, from, end - from - 2);
    from = end;
  }
  return lines;
}

void TOutlookProcessor::PostDebugNote(const std::string& message) {
  std::lock_guard lock(notes_mutex_);
  notes_.push_back(message);
  notes_pending_.store(true);
}

void TOutlookProcessor::DebugLog(const std::string& message) {
  if (notes_pending_.exchange(false)) {
    std::vector<std::string> notes;
    {
      std::lock_guard lock(notes_mutex_);
      notes.swap(notes_);
    }
    for (const auto& note : notes) DebugLog(note);
  }
  if (!DebugEnabled.load()) return;
  try {
    const TDateTime now = env_.clock->Now();
    const double second = std::floor(now.Value() * 86400.0);
    if (second != debug_stamp_second_) {
      debug_stamp_ = FormatDateTime(now) + ": ";
      debug_stamp_second_ = second;
    }
    AppendDebugLine(debug_stamp_, message);
    if (debug_ends_.size() > kRotateAbove) {
      // The backup holds every line up to the rotation.
      FlushDebugLog();
      if (!Terminated()) {
        const std::size_t dropped = debug_ends_.size() - kKeepAfterRotation;
        const std::size_t cut = debug_ends_[dropped - 1];
        debug_text_.erase(0, cut);
        debug_ends_.erase(debug_ends_.begin(), debug_ends_.begin() + static_cast<long>(dropped));
        for (std::size_t& end : debug_ends_) end -= cut;
      }
      debug_file_in_step_ = false;
      // Either step may fail quietly; a read-only file is not touched, and an old backup that
      // could not be deleted is not replaced.
      std::error_code ignored;
      const auto backup = FilePath(kBackupFile), log = FilePath(kDebugFile);
      if (!platform::IsReadOnlyFile(backup)) std::filesystem::remove(backup, ignored);
      if (!platform::IsReadOnlyFile(log) && !std::filesystem::exists(backup, ignored))
        std::filesystem::rename(log, backup, ignored);
    }
  } catch (...) {
    // Logging never fails its caller.
  }
}

void TOutlookProcessor::FlushDebugLog() {
  if (!DebugEnabled.load() || debug_ends_.size() <= kWriteAbove) return;
  if (debug_file_in_step_ && debug_file_lines_ == debug_ends_.size()) return;
  try {
    SaveDebugFile();
  } catch (const std::exception& e) {
    AppendDebugLine("Debug Error:", e.what());
  }
}

void TOutlookProcessor::SaveDebugFile() {
  const std::filesystem::path path = FilePath(kDebugFile);
  // While the file holds the lines written so far, only the new ones need to go out: a busy log
  // would otherwise rewrite up to 2500 lines for every line it gains.
  if (debug_file_in_step_ && debug_file_lines_ <= debug_ends_.size()) {
    const std::size_t from = debug_file_lines_ == 0 ? 0 : debug_ends_[debug_file_lines_ - 1];
    const std::string_view tail = std::string_view(debug_text_).substr(from);
    if (tail.empty() || platform::AppendIfUnchanged(path, debug_file_bytes_, tail)) {
      debug_file_lines_ = debug_ends_.size();
      debug_file_bytes_ += tail.size();
      return;
    }
  }
  debug_file_in_step_ = false;
  if (platform::IsReadOnlyFile(path))
    throw std::runtime_error(path.string() + ": Permission denied");
  platform::WriteFileAtomically(path, debug_text_, 0600, /*durable=*/false);  // a log: no flush
  debug_file_in_step_ = true;
  debug_file_lines_ = debug_ends_.size();
  debug_file_bytes_ = debug_text_.size();
}

}  // namespace ravenox::engine
