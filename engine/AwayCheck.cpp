// Whether the user is at the computer: the mouse has not moved since the last look and no key is
// down.
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {

bool TOutlookProcessor::KeyboardPressed() {
  platform::KeyTable keys{};
  env_.input->GetKeyboardState(keys);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] & 0x80) {
      UserAway = false;
      DebugLog("Keyboard Pressed :" + std::to_string(i));
      return true;
    }
  }
  return false;
}

void TOutlookProcessor::CheckAway() {
  CurrentCursor = env_.input->GetCursorPos();
  // Nothing that tells about input: the user counts as present, and the log and the status line
  // say why.
  ReportProblem("Input", input_problem_, env_.input->Problem());
  // A key held down makes the user present without moving LastCursor.
  if (KeyboardPressed()) return;
  if (CurrentCursor == LastCursor) {
    UserAway = true;
  } else {
    UserAway = false;
    LastCursor = CurrentCursor;
  }
}

}  // namespace ravenox::engine
