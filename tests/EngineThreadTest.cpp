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

}  // namespace
}  // namespace ravenox::engine
