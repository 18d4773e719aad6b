// The away test's input on Windows, fed real input through SendInput and SetCursorPos.
#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "platform/SessionInput.h"

namespace ravenox::platform {
namespace {

void SendKey(WORD vk, bool down) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = vk;
  in.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
  ASSERT_EQ(SendInput(1, &in, sizeof in), 1u);
}

void NudgeMouse() {
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = 3;
  in.mi.dy = 2;
  in.mi.dwFlags = MOUSEEVENTF_MOVE;
  ASSERT_EQ(SendInput(1, &in, sizeof in), 1u);
}

// Wine's desktop without a display takes the cursor only now and then (in some runs not at all).
bool PlaceCursor(int x, int y) {
  for (int i = 0; i < 20; ++i) {
    POINT p{};
    if (SetCursorPos(x, y) && GetCursorPos(&p) && p.x == x && p.y == y) return true;
    Sleep(50);
  }
  return false;
}

// Lets the first look's "within the last moment" pass and the tick count move on.
void Quiet() {
  Sleep(60);
}

TEST(WindowsInput, TheLastInputTimeSeesMouseAndKeysAndReadsTheKeysHeld) {
  auto source = OpenLastInputIdleSource();
  ASSERT_NE(source, nullptr);
  source->InputSinceLastLook();
  Quiet();
  EXPECT_EQ(source->InputSinceLastLook(), false);

  NudgeMouse();
  EXPECT_EQ(source->InputSinceLastLook(), true);
  Quiet();
  EXPECT_EQ(source->InputSinceLastLook(), false);

  SendKey('R', true);
  EXPECT_EQ(source->InputSinceLastLook(), true);
  KeyTable keys{};
  source->Keys(keys);
  EXPECT_EQ(keys['R'], 0) << "a look that found input needs no keys";
  Quiet();
  EXPECT_EQ(source->InputSinceLastLook(), false);
  source->Keys(keys);
  EXPECT_EQ(keys['R'], 0x80) << "the key held down since";
  SendKey('R', false);
  Quiet();
  source->InputSinceLastLook();
  Quiet();
  source->InputSinceLastLook();
  source->Keys(keys);
  EXPECT_EQ(keys['R'], 0);
  EXPECT_LT(*source->IdleSeconds(), 1.0);
}

TEST(WindowsInput, TheCursorSourceSeesMovesOnly) {
  auto source = OpenCursorIdleSource();
  if (!PlaceCursor(300, 200)) GTEST_SKIP() << "the cursor cannot be placed on this desktop";
  EXPECT_EQ(source->InputSinceLastLook(), false) << "the first look has nothing to compare";
  EXPECT_EQ(source->InputSinceLastLook(), false);
  if (!PlaceCursor(301, 200)) GTEST_SKIP() << "the cursor cannot be placed on this desktop";
  EXPECT_EQ(source->InputSinceLastLook(), true);
  EXPECT_EQ(source->InputSinceLastLook(), false);
}

TEST(WindowsInput, TheSessionTakesTheLastInputTimeAndItsWatchSeesInput) {
  SessionInput input;
  EXPECT_EQ(input.Problem(), "");
  EXPECT_EQ(input.Describe().source, "the session's last input time (GetLastInputInfo)");
  EXPECT_EQ(input.Describe().lock, "the input desktop (OpenInputDesktop)");
  EXPECT_EQ(input.Describe().locked, false);

  Quiet();
  input.LookAgain();
  const CursorPoint rest = input.GetCursorPos();
  EXPECT_FALSE(input.InputWithin(std::chrono::milliseconds(200), rest, [] { return false; }));

  std::thread user([] {
    Sleep(120);
    NudgeMouse();
  });
  EXPECT_TRUE(
      input.InputWithin(std::chrono::seconds(5), input.GetCursorPos(), [] { return false; }));
  user.join();
}

}  // namespace
}  // namespace ravenox::platform
