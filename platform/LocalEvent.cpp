// The wake event of one process, the same on every system.
#include "platform/WakeEvent.h"

namespace ravenox::platform {

void LocalEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    signaled_ = true;
    ++generation_;
  }
  cond_.notify_all();
}

void LocalEvent::Reset() {
  std::lock_guard lock(mutex_);
  signaled_ = false;
}

bool LocalEvent::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const uint64_t entered = generation_;
  return cond_.wait_for(lock, timeout, [&] { return signaled_ || generation_ != entered; });
}

}  // namespace ravenox::platform
