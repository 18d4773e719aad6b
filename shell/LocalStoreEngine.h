// The engine on the local store (iCalendar files and vdirs, the Maildir inbox, the outbox), which
// stands in for Outlook on this platform. The program chooses the store; the engine reads any
// store through the object model.
#pragma once

#include "engine/OutlookProcessorUnit.h"

namespace ravenox::shell {

// Gives `env` the store of the default profile, its calendar view taken around the engine's own
// clock (the system's, where none is given), and the outbox's pass at each wait. What `env`
// already has stays.
void UseLocalStore(engine::ProcessorEnvironment& env);

}  // namespace ravenox::shell
