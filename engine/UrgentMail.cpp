// The urgent e-mail watch.
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {

void TOutlookProcessor::GetInbox() {
  DebugLog("Getting Inbox");
  auto folder = outlook_->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderInbox);
  if (folder != nullptr) InboxFolder = std::move(folder);
  DebugLog("Got Inbox");
}

void TOutlookProcessor::CheckUrgentEmail() {
  GetInbox();
}

}  // namespace ravenox::engine
