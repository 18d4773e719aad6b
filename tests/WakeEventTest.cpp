#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/WakeEvent.h"

namespace ravenox::platform {
namespace {

using namespace std::chrono_literals;

std::string UniqueName(const char* what) {
  return std::string("RavenoxTest-") + what + "-" + std::to_string(getpid());
}

std::string ShmName(const std::string& name) {
  return "/" + name + "." + std::to_string(geteuid());
}

TEST(WakeEvent, ManualResetSemantics) {
  LocalEvent local;
  std::string note;
  const std::string name = UniqueName("manual");
  auto named = OpenNamedEvent(name, note);
  EXPECT_TRUE(note.empty()) << note;
  for (WakeEvent* e : {static_cast<WakeEvent*>(&local), named.get()}) {
    EXPECT_FALSE(e->Wait(10ms));
    e->Set();
    EXPECT_TRUE(e->Wait(0ms));
    EXPECT_TRUE(e->Wait(10ms));  // stays set
    e->Reset();
    EXPECT_FALSE(e->Wait(10ms));
  }
  named.reset();
  shm_unlink(ShmName(name).c_str());
}

TEST(WakeEvent, SignalFromAnotherThreadWakesAWaiter) {
  std::string note;
  const std::string name = UniqueName("thread");
  auto waiter = OpenNamedEvent(name, note);
  auto signaller = OpenNamedEvent(name, note);
  std::thread t([&] {
    std::this_thread::sleep_for(50ms);
    signaller->Set();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(waiter->Wait(20s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  t.join();
  waiter.reset();
  signaller.reset();
  shm_unlink(ShmName(name).c_str());
}

TEST(WakeEvent, SignalFromASecondProcessWakesAWaiter) {
  std::string note;
  const std::string name = UniqueName("process");
  auto waiter = OpenNamedEvent(name, note);
  ASSERT_TRUE(note.empty()) << note;
  const pid_t pid = fork();
  if (pid == 0) {
    std::string child_note;
    auto e = OpenNamedEvent(name, child_note);
    usleep(100000);
    e->Set();
    _exit(child_note.empty() ? 0 : 1);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(waiter->Wait(20s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  waiter.reset();
  shm_unlink(ShmName(name).c_str());
}

// Another process's engine resets the event right after a Set: everyone waiting at the Set still
// wakes, in this process and in another.
TEST(WakeEvent, SetWakesEveryWaiterEvenIfResetAtOnce) {
  std::string note;
  const std::string name = UniqueName("reset");
  auto waiter = OpenNamedEvent(name, note);
  auto signaller = OpenNamedEvent(name, note);
  ASSERT_TRUE(note.empty()) << note;
  LocalEvent local;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const pid_t pid = fork();
    if (pid == 0) {
      std::string child_note;
      auto e = OpenNamedEvent(name, child_note);
      usleep(50000);
      e->Set();
      e->Reset();
      _exit(0);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(waiter->Wait(20s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(waiter->Wait(0ms));  // the reset holds for the waits that follow

    std::atomic<bool> woke{false};
    std::thread local_waiter([&] { woke = local.Wait(20s); });
    std::this_thread::sleep_for(50ms);
    local.Set();
    local.Reset();
    local_waiter.join();
    EXPECT_TRUE(woke);
  }
  waiter.reset();
  signaller.reset();
  shm_unlink(ShmName(name).c_str());
}

// A holder killed while it waits (or while it signals) leaves the event working for the others.
TEST(WakeEvent, AHolderKilledWhileWaitingLeavesItWorking) {
  std::string note;
  const std::string name = UniqueName("killed");
  auto event = OpenNamedEvent(name, note);
  ASSERT_TRUE(note.empty()) << note;
  for (int round = 0; round < 3; ++round) {
    const pid_t pid = fork();
    if (pid == 0) {
      std::string child_note;
      auto e = OpenNamedEvent(name, child_note);
      e->Wait(60s);
      _exit(0);
    }
    usleep(100000);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  std::thread setter([&] {
    std::this_thread::sleep_for(50ms);
    event->Set();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(event->Wait(20s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  setter.join();
  event.reset();
  // Nobody holds it now: it opens unsignalled, though dead holders had it open.
  auto again = OpenNamedEvent(name, note);
  EXPECT_FALSE(again->Wait(0ms));
  again.reset();
  shm_unlink(ShmName(name).c_str());
}

TEST(WakeEvent, StartsUnsignalledWhenNobodyHoldsIt) {
  std::string note;
  const std::string name = UniqueName("fresh");
  {
    auto e = OpenNamedEvent(name, note);
    e->Set();
  }
  auto again = OpenNamedEvent(name, note);
  EXPECT_FALSE(again->Wait(0ms));
  again.reset();
  shm_unlink(ShmName(name).c_str());
}

TEST(WakeEvent, ForeignOrOpenObjectFallsBackToAPrivateEvent) {
  const std::string name = UniqueName("open");
  const int fd = shm_open(ShmName(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  fchmod(fd, 0666);  // open to every account: must not be trusted
  close(fd);
  std::string note;
  auto e = OpenNamedEvent(name, note);
  EXPECT_NE(note.find("private event"), std::string::npos) << note;
  ASSERT_NE(e, nullptr);
  e->Set();
  EXPECT_TRUE(e->Wait(0ms));
  shm_unlink(ShmName(name).c_str());
}

TEST(WakeEvent, ObjectLeftHalfMadeIsReplaced) {
  const std::string name = UniqueName("stale");
  const int fd = shm_open(ShmName(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  close(fd);  // size 0: its creator died before setting it up
  std::string note;
  auto e = OpenNamedEvent(name, note);
  EXPECT_TRUE(note.empty()) << note;
  e.reset();
  shm_unlink(ShmName(name).c_str());
}

}  // namespace
}  // namespace ravenox::platform
