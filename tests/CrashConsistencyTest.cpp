// Processes killed at random moments while they save settings and state files, hundreds of times:
// no file is lost, torn between two saves, half-written, or left behind as a temporary once the
// program has started again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "EngineFakes.h"
#include "engine/StateFileFormat.h"
#include "platform/RegistryFile.h"
#include "settings/SettingsStore.h"

namespace ravenox {
namespace {

using testing::ReadAll;
using testing::TempDir;

constexpr int kRounds = 300;

class Window final : public settings::SettingsWindow {
 public:
  void ShowMessage(const std::string&) override {}
  void ShowInformation(const std::string&) override {}
  void PostOpenWizard() override {}
  int32_t Top() const override { return top; }
  int32_t Left() const override { return left; }
  void SetTop(int32_t v) override { top = v; }
  void SetLeft(int32_t v) override { left = v; }
  int32_t ScreenWidth() const override { return 1 << 30; }
  int32_t ScreenHeight() const override { return 1 << 30; }
  int32_t top = 0, left = 0;
};

// Every value of one save is derived from its generation, so a mixture shows.
void Fill(int generation, settings::TSettings& s, Window& w) {
  s.SetPin(std::to_string(5550000000LL + generation));
  s.SetCustomAddr("region" + std::to_string(generation) + ".example");
  s.SetCustomEmail("me" + std::to_string(generation) + "@example.org");
  s.SetEarlyTime(generation / 1e6);
  s.SetLateTime(0.5 + generation / 1e6);
  s.SetService(static_cast<uint8_t>(generation % 9));
  s.SetTaskRemindPeriod(generation);
  s.SetSwitch(settings::NotifySwitch::kMeetingNotify, generation % 2 == 1);
  w.top = generation;
  w.left = -generation;
}

// The generation every value of a loaded store agrees on, or -1 for a mixture.
int GenerationOf(const settings::TSettings& s, const Window& w) {
  const int g = s.TaskRemindPeriod();
  settings::TSettings expected;
  Window expected_window;
  Fill(g, expected, expected_window);
  const bool same = s.Pin() == expected.Pin() && s.CustomAddr() == expected.CustomAddr() &&
                    s.CustomEmail() == expected.CustomEmail() &&
                    s.EarlyTime() == expected.EarlyTime() && s.LateTime() == expected.LateTime() &&
                    s.Service() == expected.Service() &&
                    s.MeetingNotify() == expected.MeetingNotify() && w.top == g && w.left == -g;
  return same ? g : -1;
}

// Starts `saving` in a child, lets it run for a random moment after it has begun, and kills it.
void KillWhileSaving(std::mt19937& random, const std::function<void()>& saving) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    (void)!write(ready[1], "x", 1);
    saving();
    _exit(0);
  }
  close(ready[1]);
  char c;
  (void)!read(ready[0], &c, 1);
  close(ready[0]);
  usleep(static_cast<useconds_t>(random() % 4000));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

int Temporaries(const std::filesystem::path& dir) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    n += name.size() > 1 && name[0] == '.' && name.find(".lock") == std::string::npos;
  }
  return n;
}

TEST(CrashConsistency, SettingsSurviveKillsWhileSaving) {
  TempDir dir;
  const auto file = dir.path() / "Ravenox.reg";
  platform::RegistryFile store(file, [](const std::string&) {});
  {
    settings::TSettings s;
    Window w;
    Fill(0, s, w);
    settings::SaveSettings(s, store, w);
  }
  std::mt19937 random(11);
  int lost = 0, half_written = 0, torn = 0, left_behind = 0, generation = 1;
  for (int round = 0; round < kRounds; ++round) {
    KillWhileSaving(random, [&] {
      for (int g = generation;; ++g) {
        settings::TSettings s;
        Window w;
        Fill(g, s, w);
        settings::SaveSettings(s, store, w);
      }
    });
    generation += 1000;
    if (!std::filesystem::exists(file)) {
      ++lost;
      continue;
    }
    try {
      platform::ParseRegFile(ReadAll(file));
    } catch (const std::exception&) {
      ++half_written;
      continue;
    }
    settings::TSettings loaded;
    Window w;
    settings::LoadSettings(loaded, store, w);  // opening the store again clears what was left
    torn += GenerationOf(loaded, w) < 0;
    left_behind += Temporaries(dir.path());
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(half_written, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(left_behind, 0);
}

TEST(CrashConsistency, StateFilesSurviveKillsWhileSaving) {
  testing::EngineRig rig;
  std::mt19937 random(12);
  int lost = 0, half_written = 0, torn = 0, left_behind = 0, generation = 0;
  {
    auto p = rig.Make();
    p->SaveState();
  }
  for (int round = 0; round < kRounds; ++round) {
    KillWhileSaving(random, [&] {
      auto p = rig.Make();
      for (int g = generation;; ++g) {
        p->NotifyList.Clear();
        for (int i = 0; i < 50; ++i) {
          auto r = std::make_unique<engine::TEventItem>();
          r->Text = "generation " + std::to_string(g) + " meeting " + std::to_string(i);
          p->NotifyList.Add(std::move(r));
        }
        p->SaveState();
      }
    });
    generation += 1000;
    const auto notify = rig.dir.path() / engine::kNotifyFileName;
    if (!std::filesystem::exists(notify)) {
      ++lost;
      continue;
    }
    engine::TNotifyList list;
    const auto result = engine::DecodeStateFile(ReadAll(notify), list);
    if (result.cut) {
      ++half_written;
      continue;
    }
    std::set<std::string> generations;
    for (int i = 0; i < list.Count(); ++i)
      generations.insert(list[i].Text.substr(0, list[i].Text.find(" meeting")));
    torn += generations.size() > 1;
    // Starting the engine again clears what the killed one left.
    auto p = rig.Make();
    rig.event->on_wait = [&](int) { p->Stop(); };
    p->Execute();
    left_behind += Temporaries(rig.dir.path());
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(half_written, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(left_behind, 0);
}

}  // namespace
}  // namespace ravenox
