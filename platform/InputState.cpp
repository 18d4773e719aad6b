#include "platform/InputState.h"

#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>

namespace ravenox::platform {
namespace {

// Xlib connections must not be shared between threads without XInitThreads, so each thread that
// asks keeps its own, closed when the thread ends.
class ThreadDisplay {
 public:
  ThreadDisplay() = default;
  ThreadDisplay(const ThreadDisplay&) = delete;
  ThreadDisplay& operator=(const ThreadDisplay&) = delete;
  ~ThreadDisplay() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }

  Display* Get() {
    if (display_ != nullptr) return display_;
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return nullptr;
    // A display that refused us is asked again only now and then: the away confirmation polls
    // thousands of times in a row.
    const auto now = std::chrono::steady_clock::now();
    if (tried_ && now - last_try_ < std::chrono::seconds(30)) return nullptr;
    tried_ = true;
    last_try_ = now;
    display_ = XOpenDisplay(nullptr);
    return display_;
  }

 private:
  Display* display_ = nullptr;
  bool tried_ = false;
  std::chrono::steady_clock::time_point last_try_{};
};

Display* CurrentDisplay() {
  thread_local ThreadDisplay display;
  return display.Get();
}

}  // namespace

CursorPoint X11InputState::GetCursorPos() {
  Display* display = CurrentDisplay();
  if (display == nullptr) return {};
  Window root = 0, child = 0;
  int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &root_x, &root_y, &win_x,
                     &win_y, &mask)) {
    // The pointer is on another screen; root_x/root_y are still the position on that screen.
  }
  return {root_x, root_y};
}

void X11InputState::GetKeyboardState(KeyTable& keys) {
  keys.fill(0);
  Display* display = CurrentDisplay();
  if (display == nullptr) return;
  char bits[32] = {};
  XQueryKeymap(display, bits);
  for (int code = 0; code < 256; ++code) {
    if ((static_cast<unsigned char>(bits[code / 8]) >> (code % 8)) & 1) keys[code] = 0x80;
  }
}

bool X11DisplayOpens() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

}  // namespace ravenox::platform
