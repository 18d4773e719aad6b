// The local store as Outlook's object model: the calendar (folder 9) and tasks (13) from
// iCalendar sources, the inbox (6) from a Maildir, and new mail sent through sendmail.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "outlook/OutlookApplication.h"
#include "outlook/localstore/Profile.h"
#include "outlook/outbox/Sender.h"

namespace outlook::localstore {

// Now, in local time: the moment the calendar's view is taken around.
using LocalClock = std::function<ravenox::TDateTime()>;
LocalClock SystemLocalClock();

// What the calendar folder holds: the items that matter around now (as the engine reads it), or
// every item (as the inspector lists them).
enum class FolderScope { kNow, kWhole };

// Called, from another thread, when a source that tells of its changes (the desktop's calendars)
// changed something the view around now holds or would hold: the engine need not wait to read it.
using StoreChanged = std::function<void()>;

// `clock`: empty for the system's.
std::shared_ptr<Application> OpenLocalStore(const StoreProfile& profile, LocalClock clock = {},
                                            FolderScope scope = FolderScope::kNow,
                                            StoreChanged changed = {});

// Connects by reading the profile at `profile_path` afresh (the default store when there is
// none); a profile that cannot be read is an AutomationError.
Connector MakeLocalStoreConnector(std::filesystem::path profile_path = DefaultProfilePath(),
                                  LocalClock clock = {}, FolderScope scope = FolderScope::kNow,
                                  StoreChanged changed = {});

// How the store sends, from its profile.
outbox::SendSettings SendSettingsOf(const StoreProfile& profile);

// A pass over the outbox of the profile at `profile_path` (see OutboxPass): what happened, for the
// debug log, and while texts wait, how many and why ("" when none wait).
std::vector<std::string> PassOutbox(const std::filesystem::path& profile_path,
                                    std::string& waiting);

// Whether the calendar's view at `now` holds this appointment (of a whole folder).
bool InView(OutlookItem& item, ravenox::TDateTime now);

// Why a recurring appointment's rule has no expansion, if it has none (for the inspector).
const char* NoExpansionReason(OutlookItem& appointment);
// A problem with an item that could not be read, if any.
std::string ItemError(OutlookItem& item);

}  // namespace outlook::localstore
