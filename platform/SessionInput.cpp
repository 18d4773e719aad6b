#include "platform/SessionInput.h"

#include <cstdlib>

namespace ravenox::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Within this a question is answered from the last look, not by a round trip to the bus, the
// compositor or the X server.
constexpr auto kLookLife = std::chrono::seconds(1);

// A session where nothing answered is asked again only this often.
constexpr auto kChooseAgain = std::chrono::seconds(5);

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

SessionInfo SessionInfo::FromEnvironment() {
  return {Env("XDG_SESSION_TYPE"), Env("WAYLAND_DISPLAY"), Env("DISPLAY"), Env("XDG_SESSION_ID")};
}

SessionInput::SessionInput(SessionInfo session, std::vector<Candidate> candidates)
    : session_(std::move(session)),
      candidates_(candidates.empty() ? IdleCandidates(session_) : std::move(candidates)) {}

SessionInput::~SessionInput() = default;

bool SessionInput::Choose() {
  source_.reset();
  tried_.clear();
  chose_ = SteadyClock::now();
  ever_chose_ = true;
  for (const Candidate& c : candidates_) {
    // It counts only once it has answered.
    std::unique_ptr<IdleSource> s = c.open();
    if (s != nullptr && s->InputSinceLastLook().has_value()) {
      source_ = std::move(s);
      why_ = c.why;
      break;
    }
    tried_ += (tried_.empty() ? "" : "; ") + c.name +
              (s == nullptr ? " is not there" : " did not answer");
  }
  if (lock_ == nullptr) lock_ = OpenLockSource(session_);
  if (source_ != nullptr) {
    status_.clear();
    return true;
  }
  const std::string kind = session_.Wayland() ? "Wayland session"
                           : session_.X11()   ? "X11 session"
                                              : "desktop session";
  status_ = "No input state in this " + kind + (tried_.empty() ? "" : " (" + tried_ + ")") +
            ": counted as at the computer, nothing is sent";
  return false;
}

void SessionInput::Look(bool ask_lock) {
  const auto now = SteadyClock::now();
  if (ever_looked_ && !look_again_ && !ask_lock && now - looked_ < kLookLife) return;
  look_again_ = false;
  looked_ = now;
  ever_looked_ = true;

  std::optional<bool> input;
  if (source_ != nullptr) input = source_->InputSinceLastLook();
  // A source that stopped answering (the compositor restarted, the bus went) is replaced now.
  if (!input && (!ever_chose_ || source_ != nullptr || now - chose_ >= kChooseAgain)) {
    const std::string lost = source_ != nullptr ? source_->Name() : "";
    if (Choose()) {
      input = source_->InputSinceLastLook();
    } else if (!lost.empty()) {
      status_ = lost + " stopped answering. " + status_;
    }
  }
  // Nothing to go by: present. A locked screen: away, whatever comes in; without input the lock
  // changes nothing, and is not asked.
  const bool seen = !input.has_value() || *input;
  if (lock_ == nullptr) {
    locked_.reset();
  } else if (ask_lock || seen) {
    locked_ = lock_->Locked();
  }
  last_input_ = seen && !locked_.value_or(false);
  if (last_input_) ++activity_;
  keys_.fill(0);
  if (source_ != nullptr && !locked_.value_or(false)) source_->Keys(keys_);
}

CursorPoint SessionInput::GetCursorPos() {
  Look();
  return {activity_, 0};
}

void SessionInput::GetKeyboardState(KeyTable& keys) {
  Look();
  keys = keys_;
}

std::string SessionInput::Problem() {
  Look();
  return status_;
}

SessionInput::Report SessionInput::Describe() {
  Look(/*ask_lock=*/true);
  Report r;
  r.source = source_ != nullptr ? source_->Name() : "none";
  r.why = source_ != nullptr ? why_ : status_;
  r.tried = source_ != nullptr ? tried_ : "";
  r.lock = lock_ != nullptr ? lock_->Name() : "nothing tells";
  r.locked = locked_;
  r.input = last_input_;
  if (source_ != nullptr) r.idle_seconds = source_->IdleSeconds();
  return r;
}

}  // namespace ravenox::platform
