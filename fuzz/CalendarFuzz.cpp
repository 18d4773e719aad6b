// The calendar and task store under the engine's scans: any file is indexed, read and scanned, and
// its recurring tasks moved on, without a crash, a hang or a leak.
#include <cstdint>
#include <cstdlib>
#include <fstream>

#include "../tests/EngineFakes.h"
#include "outlook/localstore/IcsStore.h"
#include "outlook/localstore/LocalStore.h"
#include "platform/AtomicFile.h"

using namespace ravenox;

namespace {

testing::TempDir* folder = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC", 1);
  tzset();
  folder = new testing::TempDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto calendar = folder->path() / "calendar.ics";
  const auto tasks = folder->path() / "tasks.ics";
  platform::WriteFileAtomically(calendar, text, 0600, /*durable=*/false);
  platform::WriteFileAtomically(tasks, text, 0600, /*durable=*/false);

  outlook::localstore::StoreProfile profile;
  profile.calendars = {calendar};
  profile.tasks = {tasks};
  testing::EngineRig rig;
  rig.env.connector = [&] { return outlook::localstore::OpenLocalStore(profile, rig.Now()); };
  rig.host.meeting = rig.host.task = rig.host.task_reminder = true;
  rig.clock->Set(EncodeDateTime(2026, 12, 8, 12, 0));
  auto p = rig.Make();
  p->DebugEnabled = false;
  for (int pass = 0; pass < 2; ++pass) {
    try {
      p->CheckAppointments();
    } catch (const std::exception&) {
    }
    try {
      p->CheckTasks();
    } catch (const std::exception&) {
    }
  }
  return 0;
}
