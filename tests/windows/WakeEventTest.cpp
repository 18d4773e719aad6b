// The named wake event of Windows: the same manual-reset behaviour as the private one, and a Set
// in another process wakes a waiter here.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>

#include "platform/WakeEvent.h"
#include "platform/WindowsSystem.h"
#include "platform/WindowsText.h"

namespace ravenox::platform {
namespace {

using namespace std::chrono_literals;

std::string UniqueName(const char* what) {
  return std::string("RavenoxTest-") + what + "-" + std::to_string(GetCurrentProcessId());
}

TEST(WindowsWakeEvent, ManualResetSemantics) {
  LocalEvent local;
  std::string note;
  auto named = OpenNamedEvent(UniqueName("manual"), note);
  EXPECT_TRUE(note.empty()) << note;
  for (WakeEvent* e : {static_cast<WakeEvent*>(&local), named.get()}) {
    EXPECT_FALSE(e->Wait(10ms));
    e->Set();
    EXPECT_TRUE(e->Wait(0ms));
    EXPECT_TRUE(e->Wait(10ms));  // stays set
    e->Reset();
    EXPECT_FALSE(e->Wait(10ms));
  }
}

// The helper program (event_setter.exe NAME) opens the event by its name, sets it and ends.
TEST(WindowsWakeEvent, SetInAnotherProcessWakesAWaiterAndStaysSet) {
  std::string note;
  const std::string name = UniqueName("process");
  auto waiter = OpenNamedEvent(name, note);
  ASSERT_TRUE(note.empty()) << note;
  std::wstring command = L"\"" + WideText(RAVENOX_EVENT_SETTER) + L"\" " + WideText(name);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &start, &child));
  EXPECT_TRUE(waiter->Wait(20s));
  WaitForSingleObject(child.hProcess, 20000);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  EXPECT_EQ(code, 0u);
  // Set, by a process that has gone: it stays set while anyone holds it.
  EXPECT_TRUE(waiter->Wait(0ms));
}

TEST(WindowsWakeEvent, ApartmentIsBalanced) {
  WindowsComApartment apartment;
  ASSERT_TRUE(apartment.Initialize());
  EXPECT_TRUE(apartment.Initialize());  // again on the same thread: S_FALSE
  apartment.Uninitialize();
  apartment.Uninitialize();
}

}  // namespace
}  // namespace ravenox::platform
