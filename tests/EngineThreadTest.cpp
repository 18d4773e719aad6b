// The engine on its own thread, with a real event: what crosses between the window's thread and
// the engine's. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <thread>

#include "EngineFakes.h"

namespace ravenox::engine {
namespace {

using namespace std::chrono_literals;
using testing::CountingEvent;
using testing::EngineRig;

struct ThreadRig : EngineRig {
  ThreadRig() {
    env.start_thread = true;
    env.open_event = [this](const std::string&, std::string&) {
      auto e = std::make_unique<CountingEvent>();
      counting = e.get();
      return e;
    };
  }
  CountingEvent* counting = nullptr;
};

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(EngineThread, StopDuringAWaitEndsWithoutAnotherPass) {
  ThreadRig rig;
  rig.clock->Set(EncodeDateTime(2026, 12, 8, 12, 0));
  auto p = std::make_unique<TOutlookProcessor>(rig.host, rig.env);
  ASSERT_TRUE(p->ThreadStarted());
  ASSERT_TRUE(rig.counting->WaitForWaits(1));
  const auto start = std::chrono::steady_clock::now();
  p->Stop();
  ASSERT_TRUE(WaitFor([&] { return !rig.host.processor_running; }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // not the 15 s time-out
  EXPECT_EQ(rig.counting->Waits(), 1);
  p.reset();
}

TEST(EngineThread, TestMessageDuringAWaitIsSentAtOnce) {
  ThreadRig rig;
  rig.clock->Set(EncodeDateTime(2026, 12, 8, 2, 0));  // night: a 5-minute wait
  rig.input->SetKey(10, true);
  auto p = std::make_unique<TOutlookProcessor>(rig.host, rig.env);
  p->DebugEnabled = true;
  ASSERT_TRUE(rig.counting->WaitForWaits(1));
  p->RequestTestMessage("5551234567@vtext.com", "Ravenox Test message", "If you got this");
  ASSERT_TRUE(WaitFor([&] { return !rig.outlook->Sent().empty(); }));
  EXPECT_EQ(rig.outlook->Sent()[0].subject, "Ravenox Test message");
  p->Stop();
  p.reset();
  EXPECT_FALSE(rig.host.processor_running);
}

TEST(EngineThread, DestroyWithoutStopEndsTheThread) {
  ThreadRig rig;
  auto p = std::make_unique<TOutlookProcessor>(rig.host, rig.env);
  ASSERT_TRUE(rig.counting->WaitForWaits(1));
  p.reset();
  EXPECT_FALSE(rig.host.processor_running);
  EXPECT_TRUE(std::filesystem::exists(rig.dir.path() / "DEBUG.LOG"));
}

TEST(SendNewEmail, ASecondSenderWaitsForTheLock) {
  EngineRig rig;
  auto p = rig.Make();
  p->DebugEnabled = false;  // both threads send; only the engine thread may log
  std::mutex m;
  std::condition_variable cv;
  bool inside = false, release = false;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member != "Mail.Send") return;
    std::unique_lock lock(m);
    if (!inside) {
      inside = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
    }
  });
  std::thread first([&] { p->SendNewEmail("first@x", "1", ""); });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return inside; });
  }
  std::thread second([&] { p->SendNewEmail("second@x", "2", ""); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(rig.outlook->faults->CountOf("Application.CreateItem"), 1);  // still waiting
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  first.join();
  second.join();
  const auto calls = rig.outlook->faults->Calls();
  const auto first_send = std::find(calls.begin(), calls.end(), "Mail.Send");
  const auto second_create = std::find(first_send, calls.end(), "Application.CreateItem");
  EXPECT_NE(second_create, calls.end());  // the second mail was begun after the first was sent
  EXPECT_EQ(rig.outlook->Sent().size(), 2u);
}

// The window hands test messages over while the engine sends them: every message arrives whole,
// its three strings belonging together.
TEST(EngineThread, TestMessageHandOverKeepsStringsTogether) {
  ThreadRig rig;
  rig.clock->Set(EncodeDateTime(2026, 12, 8, 2, 0));
  auto p = std::make_unique<TOutlookProcessor>(rig.host, rig.env);
  ASSERT_TRUE(rig.counting->WaitForWaits(1));
  for (int i = 0; i < 50; ++i) {
    const std::string n = std::to_string(i);
    p->RequestTestMessage("to" + n + "@x", "subject " + n, "body " + n);
    if (i % 10 == 0) {
      ASSERT_TRUE(WaitFor([&] { return !p->TestPending(); }));
    }
  }
  ASSERT_TRUE(WaitFor([&] { return !p->TestPending(); }));
  p->Stop();
  p.reset();
  const auto sent = rig.outlook->Sent();
  ASSERT_FALSE(sent.empty());
  for (const auto& mail : sent) {
    const std::string n = mail.subject.substr(8);
    EXPECT_EQ(mail.to, "to" + n + "@x");
    EXPECT_EQ(mail.body, "body " + n);
  }
}

}  // namespace
}  // namespace ravenox::engine
