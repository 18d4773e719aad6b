// The away test's view of a real X server (Xvfb), and of a session without one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
  // Xvfb picks a free display itself and writes its number to the pipe.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t server = fork();
  if (server == 0) {
    close(fds[0]);
    const std::string fd = std::to_string(fds[1]);
    execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
          "800x600x24", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
  close(fds[0]);
  ASSERT_FALSE(number.empty()) << "Xvfb did not start";
  const std::string display = ":" + number;
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
