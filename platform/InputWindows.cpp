// Whether the user is at a Windows computer: the session's last input time, else the cursor; the
// keys held down; whether the workstation is locked.
//
// The keys are read with GetAsyncKeyState, key by key: GetKeyboardState answers from the calling
// thread's own input queue, and the engine's thread owns no window, so that queue never sees a
// key.
#include <windows.h>

#include <optional>

#include "platform/SessionInput.h"

namespace ravenox::platform {
namespace {

void ReadKeys(KeyTable& keys) {
  keys.fill(0);
  for (int vk = 1; vk < 256; ++vk) {
    if (GetAsyncKeyState(vk) & 0x8000) keys[static_cast<std::size_t>(vk)] = 0x80;
  }
}

// The session's last input (GetLastInputInfo) sees keys, mouse and pen alike, also those that went
// to other programs' windows. A key goes down or up only by input, so the keys are read only at
// the first look without input after some came, and stay as they were until input comes again.
class LastInputSource final : public IdleSource {
 public:
  std::string Name() const override { return "the session's last input time (GetLastInputInfo)"; }
  std::optional<bool> InputSinceLastLook() override {
    LASTINPUTINFO info{};
    info.cbSize = sizeof info;
    if (!GetLastInputInfo(&info)) {
      keys_known_ = false;
      return std::nullopt;
    }
    // Input since the previous look moved the time of the last input. Compared as they are, the
    // two stamps need no clock of ours, whose ticks would not match the system's coarse ones.
    // The first look: input within the last second. Tick counts wrap after 49.7 days; the
    // difference of two does not.
    idle_ms_ = GetTickCount() - info.dwTime;
    const bool input = last_ ? info.dwTime != *last_ : idle_ms_ <= 1000;
    last_ = info.dwTime;
    if (input) {
      keys_.fill(0);
      keys_known_ = false;
    } else if (!keys_known_) {
      ReadKeys(keys_);
      keys_known_ = true;
    }
    return input;
  }
  std::optional<double> IdleSeconds() override { return idle_ms_ / 1000.0; }
  void Keys(KeyTable& keys) override { keys = keys_; }

 private:
  std::optional<DWORD> last_;
  DWORD idle_ms_ = 0;
  KeyTable keys_{};
  bool keys_known_ = false;
};

// The cursor's moves and the keys at each look, where the last input time cannot be had. A cursor
// that cannot be read (a locked workstation's secure desktop) has not moved.
class CursorSource final : public IdleSource {
 public:
  std::string Name() const override { return "the cursor and keys (GetCursorPos)"; }
  std::optional<bool> InputSinceLastLook() override {
    POINT p{};
    bool input = false;
    if (::GetCursorPos(&p)) {
      const CursorPoint now{static_cast<int32_t>(p.x), static_cast<int32_t>(p.y)};
      input = cursor_.has_value() && *cursor_ != now;
      cursor_ = now;
    }
    ReadKeys(keys_);
    return input;
  }
  void Keys(KeyTable& keys) override { keys = keys_; }

 private:
  std::optional<CursorPoint> cursor_;
  KeyTable keys_{};
};

// A locked workstation shows the secure desktop, which a user's program may not open: the
// desktop that takes input is then not the user's "Default".
class InputDesktopLock final : public LockSource {
 public:
  std::string Name() const override { return "the input desktop (OpenInputDesktop)"; }
  std::optional<bool> Locked() override {
    HDESK desktop = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (desktop == nullptr) {
      if (GetLastError() == ERROR_ACCESS_DENIED) return true;
      return std::nullopt;
    }
    wchar_t name[64] = {};
    DWORD needed = 0;
    const BOOL named = GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof name, &needed);
    CloseDesktop(desktop);
    if (!named) return std::nullopt;
    return lstrcmpiW(name, L"Default") != 0;
  }
};

}  // namespace

std::unique_ptr<IdleSource> OpenLastInputIdleSource() {
  LASTINPUTINFO info{};
  info.cbSize = sizeof info;
  if (!GetLastInputInfo(&info)) return nullptr;
  return std::make_unique<LastInputSource>();
}

std::unique_ptr<IdleSource> OpenCursorIdleSource() {
  return std::make_unique<CursorSource>();
}

std::vector<Candidate> IdleCandidates(const SessionInfo&) {
  return {
      {"the session's last input time", "Windows keeps the time of the session's last input",
       OpenLastInputIdleSource},
      {"the cursor", "without the last input time: the cursor's moves and the keys",
       OpenCursorIdleSource},
  };
}

std::unique_ptr<LockSource> OpenLockSource(const SessionInfo&) {
  return std::make_unique<InputDesktopLock>();
}

}  // namespace ravenox::platform
