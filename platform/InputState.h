// What the away test reads: where the mouse cursor is and which keys are down.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace ravenox::platform {

struct CursorPoint {
  int32_t X = 0;
  int32_t Y = 0;
  friend bool operator==(const CursorPoint&, const CursorPoint&) = default;
};

// 256 entries; an entry with its high bit (0x80) set is a key that is down.
using KeyTable = std::array<uint8_t, 256>;

class InputState {
 public:
  virtual ~InputState() = default;
  virtual CursorPoint GetCursorPos() = 0;
  virtual void GetKeyboardState(KeyTable& keys) = 0;
  // Why the state read cannot be trusted (nothing tells about input); empty while it can.
  virtual std::string Problem() { return {}; }
  // The next question is answered by a fresh look, not by one a moment old.
  virtual void LookAgain() {}
  // Watches for `span` (fresh looks 50 ms apart, sleeping in between): true as soon as input
  // comes (the cursor is no longer where it was, at `since` first; a key is down); false when the
  // span passes without, or as soon as `stop` says so.
  virtual bool InputWithin(std::chrono::milliseconds span, CursorPoint since,
                           const std::function<bool()>& stop);

 protected:
  // The pause between two looks of the watch.
  virtual void Pause(std::chrono::milliseconds span);
};

// Whether the X display named by DISPLAY can be opened now.
bool X11DisplayOpens();

// X11: XQueryPointer and XQueryKeymap over a display connection that belongs to the calling thread.
// The key table is indexed by X key code. Without a display the cursor stays at (0, 0) and no key
// is down, so the user reads as away.
class X11InputState final : public InputState {
 public:
  CursorPoint GetCursorPos() override;
  void GetKeyboardState(KeyTable& keys) override;
};

}  // namespace ravenox::platform
