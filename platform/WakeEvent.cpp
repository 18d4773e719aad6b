// The wake event shared by the processes of one user, on Linux: a word in POSIX shared memory that
// waiters sleep on with a futex.
#include "platform/WakeEvent.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace ravenox::platform {

namespace {

constexpr uint32_t kReadyMagic = 0x33584E52;  // "RNX3": the layout below

// The shared event holds no lock and no condition variable: a process killed while it waited or
// signalled would leave those stuck for every other holder. Waiters sleep on the generation word
// with a futex instead, which keeps no state of its own about them.
struct SharedBlock {
  std::atomic<uint32_t> ready;
  std::atomic<uint32_t> signaled;
  // Counts the Sets. A waiter returns when it changes, so a Set wakes everyone waiting at that
  // moment even if another process resets the event at once.
  std::atomic<uint32_t> generation;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

class NamedEvent final : public WakeEvent {
 public:
  NamedEvent(int fd, SharedBlock* block) : fd_(fd), block_(block) {
    // Like a kernel event, the object starts unsignalled when no process holds it any more. Every
    // holder keeps a shared lock on it; the lock of a process that died goes with it.
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) block_->signaled.store(0);
    flock(fd_, LOCK_SH);
  }
  ~NamedEvent() override {
    munmap(block_, sizeof(SharedBlock));
    close(fd_);  // drops the lock
  }

  void Set() override {
    block_->signaled.store(1);
    block_->generation.fetch_add(1);
    Futex(&block_->generation, FUTEX_WAKE, INT32_MAX, nullptr);
  }

  void Reset() override { block_->signaled.store(0); }

  bool Wait(std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + std::max(timeout, {});
    const uint32_t entered = block_->generation.load();
    while (block_->signaled.load() == 0 && block_->generation.load() == entered) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::nanoseconds::zero()) break;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      // Returns at once when the generation has moved on since it was read.
      Futex(&block_->generation, FUTEX_WAIT, entered, &wait);
    }
    return block_->signaled.load() != 0 || block_->generation.load() != entered;
  }

 private:
  int fd_;
  SharedBlock* block_;
};

std::string ErrorText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void InitialiseBlock(SharedBlock* block) {
  block->signaled.store(0);
  block->generation.store(0);
  block->ready.store(kReadyMagic, std::memory_order_release);
}

// One attempt; returns null with `note` filled when it fails. `stale` is set when an object exists
// that never finished its set-up (its creator died half-way).
std::unique_ptr<WakeEvent> TryOpen(const std::string& shm_name, std::string& note, bool& stale) {
  stale = false;
  bool creator = true;
  int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    creator = false;
    fd = shm_open(shm_name.c_str(), O_RDWR | O_CLOEXEC, 0600);
  }
  if (fd < 0) {
    note = ErrorText("shm_open");
    return nullptr;
  }
  auto fail = [&](std::string text) -> std::unique_ptr<WakeEvent> {
    note = std::move(text);
    close(fd);
    return nullptr;
  };

  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(ErrorText("fstat"));
  // Someone else's object under our name must not be trusted: it could be signalled at will.
  if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    return fail("the shared event " + shm_name +
                " belongs to another account or is open to others");
  }
  if (creator) {
    if (ftruncate(fd, sizeof(SharedBlock)) != 0) {
      const std::string text = ErrorText("ftruncate");
      shm_unlink(shm_name.c_str());
      return fail(text);
    }
  } else {
    for (int i = 0; i < 200 && st.st_size < static_cast<off_t>(sizeof(SharedBlock)); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      fstat(fd, &st);
    }
    if (st.st_size < static_cast<off_t>(sizeof(SharedBlock))) {
      stale = true;
      return fail("the shared event " + shm_name + " was never set up");
    }
  }

  void* mem = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mem == MAP_FAILED) return fail(ErrorText("mmap"));
  auto* block = static_cast<SharedBlock*>(mem);
  if (creator) {
    InitialiseBlock(block);
  } else {
    int waited = 0;
    while (block->ready.load(std::memory_order_acquire) != kReadyMagic && waited < 200) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ++waited;
    }
    if (block->ready.load(std::memory_order_acquire) != kReadyMagic) {
      munmap(mem, sizeof(SharedBlock));
      stale = true;
      return fail("the shared event " + shm_name + " was never set up");
    }
  }
  return std::make_unique<NamedEvent>(fd, block);
}

}  // namespace

std::unique_ptr<WakeEvent> OpenNamedEvent(const std::string& name, std::string& note) {
  note.clear();
  // Per-user name: another account neither finds nor can open ours (and the object is 0600).
  const std::string shm_name = "/" + name + "." + std::to_string(geteuid());
  bool stale = false;
  auto event = TryOpen(shm_name, note, stale);
  if (event == nullptr && stale) {
    shm_unlink(shm_name.c_str());
    event = TryOpen(shm_name, note, stale);
  }
  if (event != nullptr) {
    note.clear();
    return event;
  }
  note = "Named event " + name + " unavailable (" + note + "); using a private event";
  return std::make_unique<LocalEvent>();
}

}  // namespace ravenox::platform
