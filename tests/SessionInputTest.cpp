// Whether the user is at the computer, against real peers: services on a private D-Bus daemon that
// answer as GNOME's idle monitor, the freedesktop screen saver and login1 do, a Wayland compositor
// offering ext-idle-notify-v1, and an X server driven by xdotool.
#include "platform/SessionInput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "DesktopPeers.h"
#include "EngineFakes.h"
#include "tools/support/SupportTool.h"

namespace ravenox::platform {
namespace {

using namespace std::chrono_literals;
using testing::BusService;
using testing::DeskState;
using testing::EngineRig;
using testing::PrivateBus;
using testing::TempDir;
using testing::TestCompositor;

bool Have(const char* program) {
  return access(program, X_OK) == 0;
}

// An X server of the test's own: its display name.
class XServer {
 public:
  XServer()
      : daemon_({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten",
                 "tcp"}) {}
  std::string Display() const { return daemon_.Line().empty() ? "" : ":" + daemon_.Line(); }
  // The user moves the mouse.
  void Input() {
    const std::string to = std::to_string(10 + (++moves_ % 2) * 10);
    const std::string cmd = "DISPLAY=" + Display() + " /usr/bin/xdotool mousemove " + to + " " + to;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

 private:
  testing::Daemon daemon_;
  int moves_ = 0;
};

// A desktop session of the test's own: a session bus and a system bus with login1 on it (which
// tells whether the screen is locked), a runtime folder for Wayland sockets.
class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Have("/usr/bin/dbus-daemon")) GTEST_SKIP() << "dbus-daemon missing";
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS",
                             "XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"}) {
      const char* v = std::getenv(name);
      saved_.emplace_back(name, v != nullptr ? std::optional<std::string>(v) : std::nullopt);
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", session_bus_.Address().c_str(), 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", system_bus_.Address().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    login1_ = testing::Login1(system_bus_.Address(), desk_);
    ASSERT_TRUE(login1_->Ok());
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  // Runs `f` on a thread of its own: an X display connection belongs to the thread that opened
  // it, and goes with it.
  static void OnThread(const std::function<void()>& f) { std::thread(f).join(); }

  PrivateBus session_bus_, system_bus_;
  TempDir runtime_;
  DeskState desk_;
  std::unique_ptr<BusService> login1_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Under each source the engine finds the user present exactly when input came since its last look,
// away when none came or the screen is locked, and texts only then.
TEST_F(Session, EachSourceTellsInputSinceTheLastLook) {
  struct Desk {
    const char* name;
    const char* source;  // the start of the source's name
    SessionInfo session;
    std::function<void()> input;
    std::chrono::milliseconds quiet;  // how long until the source finds the user idle
  };
  auto mutter = testing::MutterIdleMonitor(session_bus_.Address(), desk_);
  std::vector<Desk> desks = {
      {"GNOME on Wayland",
       "GNOME's idle monitor",
       {"wayland", "wayland-none", "", ""},
       [&] { desk_.Input(); },
       50ms},
  };
  // Each desk in turn, the others' services gone.
  std::unique_ptr<BusService> screensaver;
  std::unique_ptr<TestCompositor> compositor;
  std::unique_ptr<XServer> x;
  for (int round = 0; round < 4; ++round) {
    Desk d = desks[0];
    if (round == 1) {
      mutter->Vanish();
      screensaver = testing::FreedesktopScreenSaver(session_bus_.Address(), desk_);
      d = {"KDE on X11 without the extension's display",
           "the screen saver's idle time",
           {"x11", "", "", ""},
           [&] { desk_.Input(); },
           50ms};
    } else if (round == 2) {
      screensaver->Vanish();
      compositor = std::make_unique<TestCompositor>("wayland-test");
      ASSERT_TRUE(compositor->Ok());
      d = {"a wlroots compositor",
           "the compositor's idle notification",
           {"wayland", "wayland-test", "", ""},
           [&] { compositor->Input(); },
           1300ms};
    } else if (round == 3) {
      if (!Have("/usr/bin/Xvfb") || !Have("/usr/bin/xdotool")) break;
      x = std::make_unique<XServer>();
      ASSERT_FALSE(x->Display().empty());
      setenv("DISPLAY", x->Display().c_str(), 1);
      d = {"X11",
           "the X server's idle time",
           {"x11", "", x->Display(), ""},
           [&] { x->Input(); },
           50ms};
    }
    SCOPED_TRACE(d.name);
    OnThread([&] {
      EngineRig rig;
      auto input = std::make_shared<SessionInput>(d.session);
      rig.env.input = input;
      auto p = rig.Make();
      // A look, as a pass makes it: then the pass ends where the cursor is.
      auto look = [&] {
        std::this_thread::sleep_for(20ms);
        input->LookAgain();  // as a new pass's first look, a second after the last
        p->CheckAway();
        p->LastCursor = p->CurrentCursor;
        return p->UserAway;
      };
      look();
      std::this_thread::sleep_for(d.quiet);
      look();
      EXPECT_TRUE(look()) << "no input: away";
      EXPECT_EQ(input->Describe().source.rfind(d.source, 0), 0u) << input->Describe().source;
      EXPECT_EQ(input->Problem(), "");
      d.input();
      EXPECT_FALSE(look()) << "input: present";
      std::this_thread::sleep_for(d.quiet);
      look();
      EXPECT_TRUE(look()) << "away again";
      EXPECT_TRUE(p->SendNewEmail("phone@example.org", "Meeting", ""));
      desk_.locked = true;
      d.input();
      EXPECT_TRUE(look()) << "a locked screen: away";
      desk_.locked = false;
      d.input();
      EXPECT_FALSE(look()) << "unlocked, input: present";
      EXPECT_EQ(rig.outlook->Sent().size(), 1u);
    });
  }
}

// A meeting due while someone works at an X server, moving the mouse now and then between passes:
// however often the input is looked at between two passes, no pass finds the user away, and the
// reminder is still there for the first pass that does. A display nobody answers on is no
// reason to text either.
TEST_F(Session, NobodyAtAnXServerIsTextedWhileWorking) {
  if (!Have("/usr/bin/Xvfb") || !Have("/usr/bin/xdotool"))
    GTEST_SKIP() << "Xvfb or xdotool missing";
  XServer x;
  ASSERT_FALSE(x.Display().empty());
  for (const bool answers : {true, false}) {
    SCOPED_TRACE(answers ? "the X server" : "a display nobody answers on");
    OnThread([&] {
      EngineRig rig;
      const std::string display = answers ? x.Display() : ":" + std::to_string(90 + getpid() % 9);
      setenv("DISPLAY", display.c_str(), 1);
      auto input = std::make_shared<SessionInput>(SessionInfo{"x11", "", display, ""});
      rig.env.input = input;
      auto p = rig.Make();
      auto r = std::make_unique<engine::TEventItem>();
      r->Text = "10:15:00@loc:Room 4:Budget review ";
      r->StartTime = rig.clock->Now() + kFifteenMinutes;
      r->NotifyTime = rig.clock->Now();
      p->NotifyList.Add(std::move(r));
      bool working = true;
      rig.event->on_wait = [&](int) {
        std::this_thread::sleep_for(100ms);
        if (working) x.Input();
        std::this_thread::sleep_for(100ms);
        input->LookAgain();  // a wait is far longer than a look's life
      };
      for (int pass = 0; pass < 4; ++pass) {
        p->RunPass();
        for (int look = 0; look < 3; ++look) {
          std::this_thread::sleep_for(15ms);
          p->KeyboardPressed();
        }
      }
      EXPECT_TRUE(rig.outlook->Sent().empty());
      EXPECT_FALSE(p->NotifyList[0].Notified);
      working = false;
      p->RunPass();
      p->RunPass();
      EXPECT_EQ(rig.outlook->Sent().size(), answers ? 1u : 0u) << input->Describe().source;
      EXPECT_EQ(p->NotifyList[0].Notified, answers);
    });
  }
}

// A key held down at an X server keeps the user present although the idle time grows (a held
// modifier does not repeat); once it goes up and the idle time passes, the user is away.
TEST_F(Session, AKeyHeldDownAtAnXServerIsSomeoneAtTheComputer) {
  if (!Have("/usr/bin/Xvfb") || !Have("/usr/bin/xdotool"))
    GTEST_SKIP() << "Xvfb or xdotool missing";
  XServer x;
  ASSERT_FALSE(x.Display().empty());
  setenv("DISPLAY", x.Display().c_str(), 1);
  auto key = [&](const char* how) {
    const std::string cmd = "DISPLAY=" + x.Display() + " /usr/bin/xdotool " + how + " Shift_L";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  };
  OnThread([&] {
    EngineRig rig;
    auto input = std::make_shared<SessionInput>(SessionInfo{"x11", "", x.Display(), ""});
    rig.env.input = input;
    auto p = rig.Make();
    auto away = [&] {
      std::this_thread::sleep_for(60ms);
      input->LookAgain();
      p->CheckAway();
      p->LastCursor = p->CurrentCursor;
      return p->UserAway;
    };
    away();
    EXPECT_TRUE(away()) << "nobody there";
    key("keydown");
    for (int look = 0; look < 4; ++look) EXPECT_FALSE(away()) << "held, look " << look;
    key("keyup");
    EXPECT_FALSE(away()) << "let go: input";
    EXPECT_TRUE(away()) << "nothing since";
    EXPECT_TRUE(away());
  });
}

// In a Wayland session the X11 pointer alone is never trusted: with nothing else to ask, the user
// counts as present, and the engine's log and status line say why.
TEST_F(Session, AWaylandSessionNeverFallsBackToTheX11Pointer) {
  if (!Have("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb missing";
  XServer x;
  ASSERT_FALSE(x.Display().empty());
  setenv("DISPLAY", x.Display().c_str(), 1);
  OnThread([&] {
    EngineRig rig;
    auto input =
        std::make_shared<SessionInput>(SessionInfo{"wayland", "wayland-none", x.Display(), ""});
    rig.env.input = input;
    auto p = rig.Make();
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(20ms);
      p->CheckAway();
      EXPECT_FALSE(p->UserAway);
    }
    EXPECT_EQ(input->Describe().source, "none");
    EXPECT_NE(input->Problem().find("No input state in this Wayland session"), std::string::npos)
        << input->Problem();
    EXPECT_EQ(input->Problem().find("X11"), std::string::npos) << input->Problem();
    p->RunPass();  // a pass ends with the reason on the status line
    EXPECT_EQ(EngineRig::Count(*p, "Error" + input->Problem()), 1);
    const auto statuses = rig.host.Statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), input->Problem()), statuses.end());
  });
}

// A source that stops answering is replaced at the next look: GNOME's idle monitor gone, the
// screen saver answers; that gone too, nothing (present); a compositor restarted, its successor.
TEST_F(Session, ASourceThatStopsAnsweringIsReplaced) {
  auto mutter = testing::MutterIdleMonitor(session_bus_.Address(), desk_);
  auto screensaver = testing::FreedesktopScreenSaver(session_bus_.Address(), desk_);
  auto compositor = std::make_unique<TestCompositor>("wayland-again");
  ASSERT_TRUE(compositor->Ok());
  SessionInput input(SessionInfo{"wayland", "wayland-again", "", ""});
  auto source = [&] {
    std::this_thread::sleep_for(20ms);
    return input.Describe().source;
  };
  EXPECT_EQ(source().rfind("GNOME's idle monitor", 0), 0u);
  mutter->Vanish();
  EXPECT_EQ(source().rfind("the compositor's idle notification", 0), 0u);
  compositor.reset();
  compositor = std::make_unique<TestCompositor>("wayland-again");
  ASSERT_TRUE(compositor->Ok());
  EXPECT_EQ(source().rfind("the compositor's idle notification", 0), 0u);
  EXPECT_EQ(compositor->Notifications(), 1);
  compositor.reset();
  EXPECT_EQ(source().rfind("the screen saver's idle time", 0), 0u);
  screensaver->Vanish();
  EXPECT_EQ(source(), "none");
  const CursorPoint a = input.GetCursorPos();
  EXPECT_EQ(input.GetCursorPos(), a) << "a moment later: the same look";
  input.LookAgain();
  EXPECT_NE(input.GetCursorPos(), a) << "nothing answers: present";
  EXPECT_NE(input.Problem().find("stopped answering"), std::string::npos) << input.Problem();
}

// The watch before a send looks at the bus every 50 ms for a second, and input in the middle of
// it still stops the send.
TEST_F(Session, TheWatchBeforeASendCostsFewCalls) {
  auto mutter = testing::MutterIdleMonitor(session_bus_.Address(), desk_);
  for (const bool comes_back : {false, true}) {
    SCOPED_TRACE(comes_back ? "input half-way" : "no input");
    EngineRig rig;
    rig.env.input = std::make_shared<SessionInput>(SessionInfo{"wayland", "wayland-none", "", ""});
    auto p = rig.Make();
    p->CheckAway();
    // A pass's key check per item is answered by the pass's look.
    const int looked = mutter->Calls("GetIdletime");
    for (int item = 0; item < 150; ++item) p->KeyboardPressed();
    EXPECT_EQ(mutter->Calls("GetIdletime"), looked);
    std::this_thread::sleep_for(50ms);
    std::jthread user;
    if (comes_back)
      user = std::jthread([&] {
        std::this_thread::sleep_for(500ms);
        desk_.Input();
      });
    const int before = mutter->Calls("GetIdletime");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p->SendNewEmail("phone@example.org", "Meeting", ""), !comes_back);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    const int calls = mutter->Calls("GetIdletime") - before;
    EXPECT_GE(ms, comes_back ? 450 : 1000);
    EXPECT_LT(ms, comes_back ? 1000 : 2000);
    EXPECT_GE(calls, 2);
    EXPECT_LE(calls, 22);
  }
}

// "Why did it text me while I was here?": the source and why, the idle time, the lock, and what
// the engine would find; without any desktop, away.
TEST_F(Session, InspectAwaySaysWhatItAsksAndFinds) {
  auto mutter = testing::MutterIdleMonitor(session_bus_.Address(), desk_);
  setenv("XDG_SESSION_TYPE", "wayland", 1);
  setenv("WAYLAND_DISPLAY", "wayland-none", 1);
  // The verdict is the engine's at its next pass: input within the wait since the last one.
  const struct {
    int64_t idle_ms;
    const char* verdict;
  } desks[] = {
      {120000, "the engine would find you: away (no input for 1"},
      {2000, "the engine would find you: at the computer (input "},
      {30000, "the engine would find you: away if its last pass found you away"},
  };
  for (const auto& d : desks) {
    desk_.last_input_ms = DeskState::NowMs() - d.idle_ms;
    std::ostringstream out, err;
    EXPECT_EQ(shell::RunInspect({"away"}, out, err), 0);
    for (const char* line : {"source: GNOME's idle monitor", "why: a Wayland session", "idle: ",
                             " s since the last input", "lock: login1's LockedHint of this session",
                             ": not locked", d.verdict}) {
      EXPECT_NE(out.str().find(line), std::string::npos) << line << "\n" << out.str();
    }
  }
  std::ostringstream err;
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("DISPLAY");
  std::ostringstream alone;
  EXPECT_EQ(shell::RunInspect({"away"}, alone, err), 0);
  EXPECT_NE(alone.str().find("the engine would find you: away (ravenox runs without windows)"),
            std::string::npos)
      << alone.str();
  unsetenv("XDG_SESSION_TYPE");
}

}  // namespace
}  // namespace ravenox::platform
