// The state files that carry what the engine has seen and sent across a restart.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/OutlookProcessorUnit.h"
#include "engine/StateFileFormat.h"
#include "platform/AtomicFile.h"

namespace ravenox::engine {
namespace {

// Reads a whole file; false when it does not exist. Throws with a message naming it otherwise.
bool ReadStateFile(const std::filesystem::path& path, std::string& bytes) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open " + path.string() + ": " + std::strerror(errno));
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) throw std::runtime_error("Cannot read " + path.string());
  bytes = buffer.str();
  return true;
}

}  // namespace

template <typename List>
void TOutlookProcessor::LoadStateFile(const char* name, List& list) {
  try {
    std::string bytes;
    if (!ReadStateFile(FilePath(name), bytes)) return;
    const DecodeResult result = DecodeStateFile(bytes, list);
    if (result.cut) {
      host_.SetStatusText(std::string(name) + ": record cut short at byte " +
                          std::to_string(result.cut_offset));
    }
  } catch (const std::exception& e) {
    host_.SetStatusText(e.what());
  }
}

template <typename List>
void TOutlookProcessor::SaveStateFile(const char* name, const List& list) {
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
