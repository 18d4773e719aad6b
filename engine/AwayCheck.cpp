// Whether the user is at the computer: the mouse has not moved since the end of the previous pass
// and no key is down.
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
  const std::string problem = env_.input->Problem();
  ReportProblem("Input", input_problem_, problem);
  if (!problem.empty()) {
    UserAway = false;
    return;
  }
  if (KeyboardPressed()) return;
  // LastCursor is where the cursor was when the previous pass ended; only the pass's end moves
  // it. A look in between (after the wait, the scans' key checks) must not take a move for the
  // new resting place, or a user who moved the mouse a moment before the wait ended would be
  // found away by the pass itself.
  UserAway = CurrentCursor == LastCursor;
}

}  // namespace ravenox::engine
