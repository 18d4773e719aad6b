#include "platform/InputState.h"

#include <chrono>
#include <thread>

namespace ravenox::platform {

bool InputState::InputWithin(std::chrono::milliseconds span, CursorPoint since,
                             const std::function<bool()>& stop) {
  constexpr auto kStep = std::chrono::milliseconds(50);
  CursorPoint previous = since;
  KeyTable keys{};
  for (auto waited = std::chrono::milliseconds(0); waited < span; waited += kStep) {
    if (stop()) return false;
    Pause(kStep);
    LookAgain();
    const CursorPoint position = GetCursorPos();
    GetKeyboardState(keys);
    bool back = position != previous;
    for (const uint8_t key : keys) back = back || (key & 0x80) != 0;
    if (back) return true;
    previous = position;
  }
  return false;
}

void InputState::Pause(std::chrono::milliseconds span) {
  std::this_thread::sleep_for(span);
}

}  // namespace ravenox::platform
