// The engine's running log: lines in memory, written to "DEBUG.LOG".
#include <string>

#include "base/Formats.h"
#include "engine/OutlookProcessorUnit.h"
#include "platform/AtomicFile.h"

namespace ravenox::engine {

void TOutlookProcessor::AddDebugLine(const std::string& line) {
  debug_lines_.push_back(line);
}

void TOutlookProcessor::DebugLog(const std::string& message) {
  if (!DebugEnabled.load()) return;
  try {
    debug_lines_.push_back(FormatDateTime(env_.clock->Now()) + ": " + message);
  } catch (...) {
    // Logging never fails its caller.
  }
}

void TOutlookProcessor::SaveDebugFile() {
  std::string text;
  for (const auto& line : debug_lines_) {
    text += line;
    text += "\r\n";
  }
  platform::WriteFileAtomically(FilePath("DEBUG.LOG"), text);
}

}  // namespace ravenox::engine
