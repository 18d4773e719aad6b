// The task scan and the task reminders.
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {

void TOutlookProcessor::GetTaskFolder() {
  DebugLog("Getting Task Folder");
  auto folder = outlook_->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderTasks);
  if (folder != nullptr) TaskFolder = std::move(folder);
  DebugLog("Got Task Folder");
}

void TOutlookProcessor::CheckTasks() {
  GetTaskFolder();
}

void TOutlookProcessor::TaskReminders() {}

}  // namespace ravenox::engine
