// The X11 session's input: the pointer and keymap of the display, the X server's idle time.
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>

#include "platform/IdleClock.h"
#include "platform/InputState.h"
#include "platform/SessionInput.h"

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

namespace {

// The X server's own idle time (the MIT-SCREEN-SAVER extension), or with `pointer_only` the
// pointer's moves; the keys held down from the keymap.
//
// An X server (Xvfb, for one) answers each request in a write of its own, so every request of a
// look may wake the program once. With the idle time a look needs one: a key goes up or down only
// by input, and input resets the idle time, so when none came since a look whose keymap was read,
// the keys are as they were then. The keymap is asked for only at the first look without input
// after some came; a look that finds input needs no keys (the user is present anyway).
class X11IdleSource final : public IdleSource {
 public:
  explicit X11IdleSource(bool pointer_only) : pointer_only_(pointer_only) {}
  bool Open() {
    Display* display = CurrentDisplay();
    if (display == nullptr) return false;
    if (pointer_only_) return true;
    int event_base = 0, error_base = 0;
    return XScreenSaverQueryExtension(display, &event_base, &error_base) != 0;
  }
  std::string Name() const override {
    return pointer_only_ ? "the X11 pointer and keys (DISPLAY)"
                         : "the X server's idle time (MIT-SCREEN-SAVER on DISPLAY)";
  }
  std::optional<bool> InputSinceLastLook() override {
    Display* display = CurrentDisplay();
    if (display == nullptr) {
      keys_known_ = false;
      return std::nullopt;
    }
    xcb_connection_t* c = XGetXCBConnection(display);
    const xcb_window_t root = static_cast<xcb_window_t>(DefaultRootWindow(display));
    std::optional<bool> input;
    if (pointer_only_) {
      const xcb_query_keymap_cookie_t keymap = xcb_query_keymap(c);
      const xcb_query_pointer_cookie_t pointer = xcb_query_pointer(c, root);
      if (xcb_query_pointer_reply_t* r = xcb_query_pointer_reply(c, pointer, nullptr)) {
        const CursorPoint now{r->root_x, r->root_y};
        input = pointer_ && !(*pointer_ == now);
        pointer_ = now;
        free(r);
      }
      ReadKeys(c, keymap);
      return input;
    }
    const xcb_screensaver_query_info_cookie_t info = xcb_screensaver_query_info(c, root);
    if (xcb_screensaver_query_info_reply_t* r =
            xcb_screensaver_query_info_reply(c, info, nullptr)) {
      input = clock_.Update(r->ms_since_user_input);
      free(r);
    }
    if (!input || *input) {
      keys_.fill(0);
      keys_known_ = false;
    } else if (!keys_known_) {
      keys_known_ = ReadKeys(c, xcb_query_keymap(c));
    }
    return input;
  }
  std::optional<double> IdleSeconds() override {
    if (pointer_only_) return std::nullopt;
    return clock_.IdleSeconds();
  }
  // The keys as the last look found them.
  void Keys(KeyTable& keys) override { keys = keys_; }

 private:
  bool ReadKeys(xcb_connection_t* c, xcb_query_keymap_cookie_t keymap) {
    keys_.fill(0);
    xcb_query_keymap_reply_t* r = xcb_query_keymap_reply(c, keymap, nullptr);
    if (r == nullptr) return false;
    for (int code = 0; code < 256; ++code) {
      if ((r->keys[code / 8] >> (code % 8)) & 1) keys_[static_cast<std::size_t>(code)] = 0x80;
    }
    free(r);
    return true;
  }

  bool pointer_only_;
  bool keys_known_ = false;
  std::optional<CursorPoint> pointer_;
  KeyTable keys_{};
  IdleClock clock_;
};

}  // namespace

std::unique_ptr<IdleSource> OpenX11IdleSource(bool pointer_only) {
  auto source = std::make_unique<X11IdleSource>(pointer_only);
  if (!source->Open()) return nullptr;
  return source;
}

bool X11DisplayOpens() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

}  // namespace ravenox::platform
