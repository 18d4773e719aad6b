// What the engine takes from Windows besides the registry and the wake event: the calling thread's
// component runtime, and the debugger's output channel.
#pragma once

#include "platform/ComApartment.h"
#include "platform/DebugOutput.h"

namespace ravenox::platform {

// The thread's single-threaded apartment (CoInitializeEx), which the Outlook binding's calls
// need. Initialize answers true for S_OK and S_FALSE (already initialised on this thread: it is
// then balanced by Uninitialize all the same).
class WindowsComApartment final : public ComApartment {
 public:
  bool Initialize() override;
  void Uninitialize() override;
};

// How many times the calling thread has left its apartment: an interface the thread got while the
// count was lower belongs to an apartment that is gone, and must not be called or released.
unsigned long ComApartmentEpoch();

// One line per call to a debugger watching the process (OutputDebugString), as UTF-16.
class DebuggerOutput final : public DebugOutput {
 public:
  void Write(std::string_view line) override;
};

}  // namespace ravenox::platform
