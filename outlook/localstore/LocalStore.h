// The local store as Outlook's object model: the calendar (folder 9) and tasks (13) from
// iCalendar sources, the inbox (6) from a Maildir, and new mail sent through sendmail.
#pragma once

#include <filesystem>
#include <memory>

#include "outlook/OutlookApplication.h"
#include "outlook/localstore/Profile.h"

namespace outlook::localstore {

std::shared_ptr<Application> OpenLocalStore(const StoreProfile& profile);

// Connects by reading the profile at `profile_path` afresh (the default store when there is
// none); a profile that cannot be read is an AutomationError.
Connector MakeLocalStoreConnector(std::filesystem::path profile_path = DefaultProfilePath());

// Why a recurring appointment's rule has no expansion, if it has none (for the inspector).
const char* NoExpansionReason(OutlookItem& appointment);
// A problem with an item that could not be read, if any.
std::string ItemError(OutlookItem& item);

}  // namespace outlook::localstore
