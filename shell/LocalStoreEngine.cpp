#include "shell/LocalStoreEngine.h"

#include "outlook/localstore/LocalStore.h"
#include "outlook/localstore/Profile.h"

namespace ravenox::shell {

void UseLocalStore(engine::ProcessorEnvironment& env) {
  if (!env.clock) env.clock = std::make_shared<platform::SystemClock>();
  if (!env.connector) {
    env.connector = outlook::localstore::MakeLocalStoreConnector(
        outlook::localstore::DefaultProfilePath(), [clock = env.clock] { return clock->Now(); });
    if (!env.outbox_pass) {
      env.outbox_pass = [](std::string& waiting) {
        return outlook::localstore::PassOutbox(outlook::localstore::DefaultProfilePath(), waiting);
      };
    }
  }
}

}  // namespace ravenox::shell
