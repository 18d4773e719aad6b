// The state files that carry what the engine has seen and sent across a restart.
#include "engine/OutlookProcessorUnit.h"
#include "engine/StateFileFormat.h"
#include "platform/AtomicFile.h"

namespace ravenox::engine {
namespace {

// No list holds more records than this; a larger file is not one of ours.
constexpr std::size_t kMaxRecords = 100000;

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
void TOutlookProcessor::SaveStateFile(const char* name, const List& list) {
  if (unreadable_files_.count(name) != 0) return;
  try {
    WriteIfChanged(name, EncodeStateFile(list), /*durable=*/true);
  } catch (const std::exception& e) {
    host_.SetStatusText(e.what());
  }
}

void TOutlookProcessor::WriteIfChanged(const std::string& name, const std::string& bytes,
                                       bool durable) {
  // The files are saved on every pass, every 15 seconds through the day; most passes change
  // nothing, and the disk need not hear about it.
  const std::filesystem::path path = FilePath(name);
  const auto last = written_files_.find(name);
  std::error_code ec;
  if (last != written_files_.end() && last->second == bytes &&
      std::filesystem::file_size(path, ec) == bytes.size() && !ec)
    return;
  written_files_.erase(name);
  // Written beside the old file and renamed over it: a crash or a full disk leaves the previous
  // file whole instead of an empty one.
  platform::WriteFileAtomically(path, bytes, 0644, durable);
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

void TOutlookProcessor::SaveState() {
  try {
    SaveTasks();
    SaveNotify();
    SaveEmail();
  } catch (...) {
    DebugLog("Unable to Save");
  }
}

}  // namespace ravenox::engine
