#include "shell/LocalStoreEngine.h"

#include "outlook/localstore/LocalStore.h"
#include "outlook/localstore/Profile.h"

namespace ravenox::shell {

void UseLocalStore(engine::ProcessorEnvironment& env) {
  if (!env.clock) env.clock = std::make_shared<platform::SystemClock>();
  if (!env.connector) {
    // A change the desktop's calendar service tells of ends the engine's wait: the store sets the
    // engine's wake event, which every handle of its name shares.
    std::string note;
    std::shared_ptr<platform::WakeEvent> wake =
        env.open_event ? env.open_event(engine::kWakeEventName, note)
                       : platform::OpenNamedEvent(engine::kWakeEventName, note);
    outlook::localstore::StoreChanged changed;
    if (wake != nullptr && note.empty()) changed = [wake] { wake->Set(); };
    env.connector = outlook::localstore::MakeLocalStoreConnector(
        outlook::localstore::DefaultProfilePath(), [clock = env.clock] { return clock->Now(); },
        outlook::localstore::FolderScope::kNow, changed);
    if (!env.outbox_pass) {
      env.outbox_pass = [](std::string& waiting) {
        return outlook::localstore::PassOutbox(outlook::localstore::DefaultProfilePath(), waiting);
      };
    }
  }
}

}  // namespace ravenox::shell
