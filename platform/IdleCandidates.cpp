// The idle sources of a Linux desktop session, in the order they are worth asking.
#include "platform/SessionInput.h"

namespace ravenox::platform {

std::vector<Candidate> IdleCandidates(const SessionInfo& session) {
  std::vector<Candidate> out;
  auto add = [&](std::string name, std::string why,
                 std::function<std::unique_ptr<IdleSource>()> open) {
    out.push_back({std::move(name), std::move(why), std::move(open)});
  };
  const char* const mutter = "GNOME's idle monitor";
  const char* const wayland = "the Wayland idle notification";
  const char* const screensaver = "the screen saver's idle time";
  if (session.Wayland()) {
    // An X11 client sees neither the keys nor the pointer of Wayland windows: never the X11
    // pointer here. GNOME's compositor keeps the session's idle time itself, to the millisecond;
    // other compositors tell idleness through the Wayland protocol; KDE also answers the screen
    // saver's idle time.
    add(mutter, "a Wayland session; GNOME's compositor keeps the idle time of all input",
        OpenMutterIdleSource);
    add(wayland, "a Wayland session; the compositor tells when input stops and resumes",
        [display = session.wayland_display] { return OpenWaylandIdleSource(display); });
    add(screensaver, "a Wayland session; the desktop's screen saver keeps the idle time",
        OpenScreenSaverIdleSource);
  } else {
    // The X server sees all input of an X11 session; its screen saver extension keeps the idle
    // time. The desktop's monitors follow, and the bare pointer and keys last.
    if (!session.x11_display.empty()) {
      add("the X server's idle time",
          "an X11 session; the X server keeps the idle time of all input",
          [] { return OpenX11IdleSource(false); });
    }
    add(mutter, "GNOME's compositor keeps the idle time of all input", OpenMutterIdleSource);
    add(screensaver, "the desktop's screen saver keeps the idle time", OpenScreenSaverIdleSource);
    if (!session.x11_display.empty()) {
      add("the X11 pointer",
          "an X11 session without the screen saver extension: the pointer and the keys",
          [] { return OpenX11IdleSource(true); });
    }
  }
  return out;
}

}  // namespace ravenox::platform
