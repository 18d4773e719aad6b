// Whether the user is at the computer on today's desktops: the idle time of the X server, of
// GNOME's compositor, of the freedesktop screen saver, the Wayland idle notification, Windows' last
// input time, and whether the screen is locked. Each answers "was there input since the last
// look?"; the engine's away rules read that as a cursor that moves.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/InputState.h"

namespace ravenox::platform {

// One way of knowing about input.
class IdleSource {
 public:
  virtual ~IdleSource() = default;
  // What it is, for people: "GNOME's idle monitor (org.gnome.Mutter.IdleMonitor)".
  virtual std::string Name() const = 0;
  // Whether input came since the previous call (the first call: whether there was any within the
  // last moment); none when the source no longer answers.
  virtual std::optional<bool> InputSinceLastLook() = 0;
  // How long since the last input, when the source can tell.
  virtual std::optional<double> IdleSeconds() { return std::nullopt; }
  // The keys held down at the last look, where the source sees them (X11).
  virtual void Keys(KeyTable& keys) { keys.fill(0); }
};

// Whether the screen is locked; none when nothing answers.
class LockSource {
 public:
  virtual ~LockSource() = default;
  virtual std::string Name() const = 0;
  virtual std::optional<bool> Locked() = 0;
};

// Where the program runs, as the environment tells.
struct SessionInfo {
  std::string session_type;     // XDG_SESSION_TYPE
  std::string wayland_display;  // WAYLAND_DISPLAY
  std::string x11_display;      // DISPLAY
  std::string session_id;       // XDG_SESSION_ID
  static SessionInfo FromEnvironment();
  bool Wayland() const { return session_type == "wayland" || !wayland_display.empty(); }
  bool X11() const { return !Wayland() && (session_type == "x11" || !x11_display.empty()); }
};

// The sources worth asking in a session, most trustworthy first, and why.
struct Candidate {
  std::string name, why;
  std::function<std::unique_ptr<IdleSource>()> open;
};
std::vector<Candidate> IdleCandidates(const SessionInfo& session);

// The sources of each kind (defined beside their protocols).
std::unique_ptr<IdleSource> OpenX11IdleSource(bool pointer_only);
std::unique_ptr<IdleSource> OpenMutterIdleSource();
std::unique_ptr<IdleSource> OpenScreenSaverIdleSource();
// `display`: the Wayland display's socket name (empty: WAYLAND_DISPLAY's).
std::unique_ptr<IdleSource> OpenWaylandIdleSource(const std::string& display);
// Windows: the session's last input time (GetLastInputInfo); the cursor's moves (GetCursorPos).
std::unique_ptr<IdleSource> OpenLastInputIdleSource();
std::unique_ptr<IdleSource> OpenCursorIdleSource();
// login1's LockedHint for this session on the system bus, else the screen saver's GetActive on
// the session bus; on Windows, whether the desktop that takes input is the user's.
std::unique_ptr<LockSource> OpenLockSource(const SessionInfo& session);

// The input state of a desktop session: the best source that answers, chosen at the first look
// and chosen again when it stops answering. The cursor is a count of the looks that found input
// (a locked screen finds none); the keys are those the source sees. When no source answers the
// user counts as present, and Problem() says why.
//
// A look answers every question for a second (a pass asks dozens: the away check, a key check
// per item of the scans, the cursor at its end) unless LookAgain() asks for a fresh one. The
// screen lock matters only when input came: only then is it asked.
class SessionInput final : public InputState {
 public:
  explicit SessionInput(SessionInfo session = SessionInfo::FromEnvironment(),
                        std::vector<Candidate> candidates = {});
  ~SessionInput() override;
  CursorPoint GetCursorPos() override;
  void GetKeyboardState(KeyTable& keys) override;
  std::string Problem() override;
  void LookAgain() override { look_again_ = true; }

  // For "ravenox-inspect away": the source in use and why, the others tried, the idle time, the
  // lock, and what one look now finds.
  struct Report {
    std::string source, why, tried, lock;
    std::optional<double> idle_seconds;
    std::optional<bool> locked;
    bool input = false;
  };
  Report Describe();

 private:
  void Look(bool ask_lock = false);
  bool Choose();

  SessionInfo session_;
  std::vector<Candidate> candidates_;
  std::unique_ptr<IdleSource> source_;
  std::unique_ptr<LockSource> lock_;
  std::string why_, tried_, status_;
  int32_t activity_ = 1;
  bool last_input_ = false;
  KeyTable keys_{};
  std::optional<bool> locked_;
  std::chrono::steady_clock::time_point looked_{}, chose_{};
  bool ever_looked_ = false, ever_chose_ = false, look_again_ = false;
};

// The engine alone without a desktop (--headless): nobody can be at the computer, so the user
// is away.
class HeadlessInput final : public InputState {
 public:
  CursorPoint GetCursorPos() override { return {}; }
  void GetKeyboardState(KeyTable& keys) override { keys.fill(0); }
  bool InputWithin(std::chrono::milliseconds, CursorPoint, const std::function<bool()>&) override {
    return false;
  }
};

}  // namespace ravenox::platform
