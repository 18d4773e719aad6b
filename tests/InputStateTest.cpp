// The away test's view of a real X server (Xvfb), and of a session without one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/InputState.h"

// Last: Xlib defines macros (None, Bool) that clash with the test framework's names.
#include <X11/Xlib.h>

namespace ravenox::platform {
namespace {

TEST(X11InputState, WithoutADisplayTheUserReadsAsAway) {
  unsetenv("DISPLAY");
  X11InputState input;
  EXPECT_EQ(input.GetCursorPos(), (CursorPoint{0, 0}));
  KeyTable keys;
  keys.fill(0xFF);
  input.GetKeyboardState(keys);
  for (const uint8_t k : keys) EXPECT_EQ(k, 0);
}

TEST(X11InputState, FollowsTheRealPointer) {
  if (::access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
  const int number = 90 + getpid() % 100;
  const std::string display = ":" + std::to_string(number);
  const pid_t server = fork();
  if (server == 0) {
    execl("/usr/bin/Xvfb", "Xvfb", display.c_str(), "-nolisten", "tcp", "-screen", "0",
          "800x600x24", static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
  for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  setenv("DISPLAY", display.c_str(), 1);

  // Runs on a thread of its own: the display connection belongs to the thread that asks.
  std::thread([&] {
    Display* d = XOpenDisplay(display.c_str());
    ASSERT_NE(d, nullptr);
    X11InputState input;
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, 123, 321);
    XSync(d, False);
    EXPECT_EQ(input.GetCursorPos(), (CursorPoint{123, 321}));
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, 124, 321);
    XSync(d, False);
    EXPECT_EQ(input.GetCursorPos(), (CursorPoint{124, 321}));
    KeyTable keys{};
    input.GetKeyboardState(keys);
    for (const uint8_t k : keys) EXPECT_EQ(k & 0x80, 0);
    XCloseDisplay(d);
  }).join();

  unsetenv("DISPLAY");
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
}

}  // namespace
}  // namespace ravenox::platform
