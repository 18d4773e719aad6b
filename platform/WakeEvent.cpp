#include "platform/WakeEvent.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>

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

namespace {

constexpr uint32_t kReadyMagic = 0x32584E52;  // "RNX2": the layout below

struct SharedBlock {
  std::atomic<uint32_t> ready;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  uint32_t signaled;
  uint32_t openers;
  // Counts the Sets. A waiter returns when it changes, so a Set wakes everyone waiting at that
  // moment even if another process resets the event before the waiter gets the lock back.
  uint64_t generation;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

class SharedLock {
 public:
  explicit SharedLock(pthread_mutex_t* m) : m_(m) {
    const int r = pthread_mutex_lock(m_);
    // A holder died with the lock: the block holds only a flag and a count, both still usable.
    if (r == EOWNERDEAD) pthread_mutex_consistent(m_);
  }
  ~SharedLock() { pthread_mutex_unlock(m_); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  pthread_mutex_t* m_;
};

class NamedEvent final : public WakeEvent {
 public:
  NamedEvent(int fd, SharedBlock* block) : fd_(fd), block_(block) {
    SharedLock lock(&block_->mutex);
    // Like a kernel event, the object starts unsignalled when no process holds it any more.
    if (block_->openers == 0) block_->signaled = 0;
    ++block_->openers;
  }
  ~NamedEvent() override {
    {
      SharedLock lock(&block_->mutex);
      if (block_->openers > 0) --block_->openers;
    }
    munmap(block_, sizeof(SharedBlock));
    close(fd_);
  }

  void Set() override {
    SharedLock lock(&block_->mutex);
    block_->signaled = 1;
    ++block_->generation;
    pthread_cond_broadcast(&block_->cond);
  }

  void Reset() override {
    SharedLock lock(&block_->mutex);
    block_->signaled = 0;
  }

  bool Wait(std::chrono::milliseconds timeout) override {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long ms = timeout.count() < 0 ? 0 : timeout.count();
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    SharedLock lock(&block_->mutex);
    const uint64_t entered = block_->generation;
    while (block_->signaled == 0 && block_->generation == entered) {
      const int r = pthread_cond_timedwait(&block_->cond, &block_->mutex, &deadline);
      if (r == EOWNERDEAD) pthread_mutex_consistent(&block_->mutex);
      if (r == ETIMEDOUT) break;
    }
    return block_->signaled != 0 || block_->generation != entered;
  }

 private:
  int fd_;
  SharedBlock* block_;
};

std::string ErrorText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void InitialiseBlock(SharedBlock* block) {
  pthread_mutexattr_t ma;
  pthread_mutexattr_init(&ma);
  pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&block->mutex, &ma);
  pthread_mutexattr_destroy(&ma);

  pthread_condattr_t ca;
  pthread_condattr_init(&ca);
  pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
  pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
  pthread_cond_init(&block->cond, &ca);
  pthread_condattr_destroy(&ca);

  block->signaled = 0;
  block->openers = 0;
  block->generation = 0;
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
