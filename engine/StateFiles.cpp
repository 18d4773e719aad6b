// The state files that carry what the engine has seen and sent across a restart.
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {

void TOutlookProcessor::LoadTasks() {}
void TOutlookProcessor::LoadNotify() {}
void TOutlookProcessor::LoadEmail() {}
void TOutlookProcessor::SaveTasks() {}
void TOutlookProcessor::SaveNotify() {}
void TOutlookProcessor::SaveEmail() {}

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
