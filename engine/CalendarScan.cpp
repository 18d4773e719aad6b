// The calendar scan and the first-meeting notices.
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {

void TOutlookProcessor::GetCalendarFolder() {
  DebugLog("Getting Calendar");
  auto folder = outlook_->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderCalendar);
  if (folder != nullptr) CalendarFolder = std::move(folder);
  DebugLog("Got Calendar");
}

void TOutlookProcessor::CheckAppointments() {
  GetCalendarFolder();
}

void TOutlookProcessor::MorningFirstMeeting() {
  NextMorningCheck = DateOf(env_.clock->Now()) + 1.0;
}

void TOutlookProcessor::EveningFirstMeeting() {
  NextEveningCheck = DateOf(env_.clock->Now()) + 1.0;
}

}  // namespace ravenox::engine
