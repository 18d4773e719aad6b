// A manual-reset event: once set it stays set, waking every waiter, until it is reset.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace ravenox::platform {

class WakeEvent {
 public:
  virtual ~WakeEvent() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  // Waits until the event is set or the time-out passes; true when it is set, or was set at any
  // moment of the wait (a Set wakes every waiter of that moment, whatever Reset follows).
  virtual bool Wait(std::chrono::milliseconds timeout) = 0;
};

// An event seen by this process only.
class LocalEvent final : public WakeEvent {
 public:
  void Set() override;
  void Reset() override;
  bool Wait(std::chrono::milliseconds timeout) override;

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool signaled_ = false;
  uint64_t generation_ = 0;  // counts the Sets
};

// Opens the event `name` shared by every process of the current user (created not signalled when
// nobody has it open). The object lives in POSIX shared memory, mode 0600, under a per-user name.
// When that cannot be done, returns a LocalEvent and puts the reason into `note`.
std::unique_ptr<WakeEvent> OpenNamedEvent(const std::string& name, std::string& note);

}  // namespace ravenox::platform
