// The state files that carry what the engine has seen and sent across a restart.
#include "engine/OutlookProcessorUnit.h"
#include "engine/StateFileFormat.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <algorithm>
#include <type_traits>

namespace ravenox::engine {
namespace {

constexpr std::size_t kMaxRecords = kMaxStateRecords;

std::size_t RecordSizeOf(const TNotifyList&) {
  return kNotifyRecordSize;
}
std::size_t RecordSizeOf(const TTaskList&) {
  return kTaskRecordSize;
}
std::size_t RecordSizeOf(const TEmailList&) {
  return kEmailRecordSize;
}

}  // namespace

template <typename List>
void TOutlookProcessor::LoadStateFile(const char* name, List& list) {
  try {
    std::string bytes;
    const std::size_t limit = 4 + kMaxRecords * RecordSizeOf(list);
    if (!platform::ReadRegularFile(FilePath(name), limit, bytes)) return;
    const DecodeResult result = DecodeStateFile(bytes, list);
    if (result.cut) {
      host_.SetStatusText(std::string(name) + ": record cut short at byte " +
                          std::to_string(result.cut_offset));
    }
  } catch (const std::exception& e) {
    // A file that is there but cannot be read is the user's to look at: it is reported and never
    // saved over.
    unreadable_files_.insert(name);
    DebugLog(std::string("Error") + e.what());
    host_.SetStatusText(e.what());
  }
}

template <typename List>
bool TOutlookProcessor::SaveStateFile(const char* name, const List& list) {
  if (unreadable_files_.count(name) != 0) return false;
  try {
    // Most passes change no record: the list's generation and its fields beside the texts tell
    // so without encoding (a thousand meetings are a few hundred kilobytes).
    SavedList& saved = saved_lists_[name];
    EncodeFieldsBesideTexts(list, fields_);
    if (saved.generation == list.Generation() && saved.fields == fields_ && StillWritten(name))
      return true;
    EncodeStateFile(list, encoded_);
    WriteIfChanged(name, encoded_, /*durable=*/true);
    saved.generation = list.Generation();
    saved.fields.swap(fields_);
    return true;
  } catch (const std::exception& e) {
    host_.SetStatusText(e.what());
    return false;
  }
}

namespace {

// What two records of one key tell together: anything sent by either stays sent.
void Merge(TEventItem& kept, const TEventItem& other) {
  if (other.StartTime > kept.StartTime) {
    kept.StartTime = other.StartTime;
    kept.NotifyTime = other.NotifyTime;
    kept.Notified = other.Notified;
  } else if (other.StartTime == kept.StartTime) {
    kept.Notified = kept.Notified || other.Notified;
  }
}
void Merge(TTaskEvent& kept, const TTaskEvent& other) {
  kept.Notified = kept.Notified || other.Notified;
  kept.PreNotified = kept.PreNotified || other.PreNotified;
  kept.Complete = kept.Complete || other.Complete;
  kept.LastNotified = std::max(kept.LastNotified, other.LastNotified);
  kept.NextReminder = std::max(kept.NextReminder, other.NextReminder);
}
void Merge(TEmailItem& kept, const TEmailItem& other) {
  kept.FirstSeen = std::max(kept.FirstSeen, other.FirstSeen);
}

}  // namespace

template <typename List>
bool TOutlookProcessor::TakeOver(const std::filesystem::path& file, List& list) {
  std::string bytes;
  List found;
  try {
    if (!platform::ReadRegularFile(file, 4 + kMaxRecords * RecordSizeOf(list), bytes)) return false;
  } catch (const std::exception& e) {
    DebugLog(std::string("Error") + e.what());
    return false;
  }
  DecodeStateFile(bytes, found);
  for (int i = 0; i < found.Count(); ++i) {
    if (auto* kept = list.Lookup(found[i].Text)) {
      Merge(*kept, found[i]);
    } else {
      list.Add(std::make_unique<typename std::remove_cvref_t<decltype(found[i])>>(found[i]));
    }
  }
  DebugLog("Taken over " + file.string());
  return true;
}

void TOutlookProcessor::PrepareWorkingFolder() {
  try {
    platform::MakePrivateFolder(env_.working_dir);
  } catch (const std::exception& e) {
    DebugLog(std::string("Error") + e.what());
    host_.SetStatusText(e.what());
  }
  // Files of earlier runs may have been made readable by all. A file the user made read-only is
  // theirs, and left as it is.
  for (const char* name : {kTaskFileName, kNotifyFileName, kEmailFileName, kFirstFileName,
                           "DEBUG.LOG", "backup_DEBUG.LOG", "Test-Note.NST", "Test-Task.NST"}) {
    platform::KeepToOwner(FilePath(name));
  }

  std::error_code ec;
  const auto here = std::filesystem::weakly_canonical(env_.working_dir, ec);
  std::vector<std::filesystem::path> taken;
  std::set<std::filesystem::path> seen{here};
  for (const auto& dir : env_.earlier_dirs) {
    const auto there = std::filesystem::weakly_canonical(dir, ec);
    if (dir.empty() || ec || !seen.insert(there).second) continue;
    if (TakeOver(there / kTaskFileName, TaskList)) taken.push_back(there / kTaskFileName);
    if (TakeOver(there / kNotifyFileName, NotifyList)) taken.push_back(there / kNotifyFileName);
    if (TakeOver(there / kEmailFileName, EmailList)) taken.push_back(there / kEmailFileName);
  }
  if (taken.empty()) return;
  // Gone from the earlier place only once they are safe here: a run from there must not send
  // again what this one has sent.
  const bool saved = SaveStateFile(kTaskFileName, TaskList) &&
                     SaveStateFile(kNotifyFileName, NotifyList) &&
                     SaveStateFile(kEmailFileName, EmailList);
  if (!saved) return;
  for (const auto& file : taken) {
    std::filesystem::remove(file, ec);
    for (const char* view : {"Test-Note.NST", "Test-Task.NST"})
      std::filesystem::remove(file.parent_path() / view, ec);
  }
}

void TOutlookProcessor::LoadFirstChecks() {
  try {
    std::string bytes;
    if (!platform::ReadRegularFile(FilePath(kFirstFileName), kFirstFileSize, bytes)) return;
    FirstChecks checks{NextMorningCheck, NextEveningCheck};
    DecodeStateFile(bytes, checks);
    NextMorningCheck = checks.morning;
    NextEveningCheck = checks.evening;
  } catch (const std::exception& e) {
    // Only a second notice could follow from losing it; the file is written again.
    DebugLog(std::string("Error") + e.what());
  }
}

void TOutlookProcessor::SaveFirstChecks() {
  try {
    WriteIfChanged(kFirstFileName, EncodeStateFile(FirstChecks{NextMorningCheck, NextEveningCheck}),
                   /*durable=*/true);
  } catch (const std::exception& e) {
    host_.SetStatusText(e.what());
  }
}

bool TOutlookProcessor::StillWritten(const std::string& name) const {
  const auto last = written_files_.find(name);
  std::error_code ec;
  return last != written_files_.end() &&
         std::filesystem::file_size(FilePath(name), ec) == last->second.size() && !ec;
}

void TOutlookProcessor::WriteIfChanged(const std::string& name, const std::string& bytes,
                                       bool durable) {
  // The files are saved on every pass, every 15 seconds through the day; most passes change
  // nothing, and the disk need not hear about it.
  const std::filesystem::path path = FilePath(name);
  const auto last = written_files_.find(name);
  if (last != written_files_.end() && last->second == bytes && StillWritten(name)) return;
  written_files_.erase(name);
  // Written beside the old file and renamed over it: a crash or a full disk leaves the previous
  // file whole instead of an empty one.
  platform::WriteFileAtomically(path, bytes, 0600, durable);
  written_files_[name] = bytes;
}

void TOutlookProcessor::LoadTasks() {
  LoadStateFile(kTaskFileName, TaskList);
}
void TOutlookProcessor::LoadNotify() {
  LoadStateFile(kNotifyFileName, NotifyList);
}
void TOutlookProcessor::LoadEmail() {
  LoadStateFile(kEmailFileName, EmailList);
}
void TOutlookProcessor::SaveTasks() {
  SaveStateFile(kTaskFileName, TaskList);
}
void TOutlookProcessor::SaveNotify() {
  SaveStateFile(kNotifyFileName, NotifyList);
}
void TOutlookProcessor::SaveEmail() {
  SaveStateFile(kEmailFileName, EmailList);
}

void TOutlookProcessor::SaveSent() {
  if (sent_unsaved_) SaveState();
}

void TOutlookProcessor::SaveState() {
  sent_unsaved_ = false;
  try {
    SaveTasks();
    SaveNotify();
    SaveEmail();
    SaveFirstChecks();
  } catch (...) {
    DebugLog("Unable to Save");
  }
}

}  // namespace ravenox::engine
