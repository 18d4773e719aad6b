// The Outlook binding against an automation server that answers as Outlook does (outlook_server):
// the engine's day through it sends what the same data sends through the in-memory model; the
// server's errors come back with its own words; a server that dies in the middle of a pass is
// started again and nothing is lost or sent twice.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "../EngineFakes.h"
#include "OutlookScenario.h"
#include "outlook/com/ComOutlook.h"
#include "outlook/dispids.h"
#include "platform/WindowsRegistry.h"
#include "platform/WindowsSystem.h"
#include "platform/WindowsText.h"
#include "settings/SettingsStore.h"

namespace ravenox::testing {
namespace {

using platform::WideText;

std::vector<std::string> Lines(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A path as Windows programs take it (a Unix path under Wine is the Z: drive's).
std::wstring WindowsPath(const std::filesystem::path& p) {
  std::wstring w = p.wstring();
  if (!w.empty() && w[0] == L'/') {
    std::replace(w.begin(), w.end(), L'/', L'\\');
    w = L"Z:" + w;
  }
  return w;
}

std::wstring ServerCommand(const std::filesystem::path& log, const std::string& options) {
  return L"\"" + WindowsPath(RAVENOX_OUTLOOK_SERVER) + L"\" \"" + WindowsPath(log) + L"\" " +
         WideText(options);
}

void SetDefault(const std::wstring& key, const std::wstring& value) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, value.c_str(),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

// Registers the server as Outlook, so that CoCreateInstance starts it (Wine reads classes from
// HKLM only).
void RegisterServer(const std::filesystem::path& log, const std::string& options) {
  const std::wstring clsid = WideText(outlook::dispid::kApplicationClsid);
  SetDefault(L"Software\\Classes\\CLSID\\" + clsid + L"\\LocalServer32",
             ServerCommand(log, options));
  SetDefault(L"Software\\Classes\\Outlook.Application\\CLSID", clsid);
}

// A server the test starts itself, registered as the running Outlook.
class RunningServer {
 public:
  RunningServer(const std::filesystem::path& log, const std::string& options) {
    std::wstring command = ServerCommand(log, "--active " + options);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &start, &process_))
      return;
    for (int i = 0; i < 400 && Lines(log).empty(); ++i) Sleep(50);
    ready_ = !Lines(log).empty();
  }
  // Asked to end, so that it revokes its registrations (Wine's service keeps those of a process
  // that is killed, and would hand its dead class to the next test).
  ~RunningServer() {
    if (process_.hProcess == nullptr) return;
    PostThreadMessageW(process_.dwThreadId, WM_QUIT, 0, 0);
    if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) {
      TerminateProcess(process_.hProcess, 0);
      WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  bool ready() const { return ready_; }

 private:
  PROCESS_INFORMATION process_{};
  bool ready_ = false;
};

// The apartment, counting how often the engine enters it (once, and again for each reconnection).
class CountedApartment final : public platform::ComApartment {
 public:
  bool Initialize() override {
    ++entered;
    return real_.Initialize();
  }
  void Uninitialize() override { real_.Uninitialize(); }
  int entered = 0;

 private:
  platform::WindowsComApartment real_;
};

// The texts of the scenario's user day (06:50 to 19:10, a pass every ten minutes: a call across
// processes costs what a whole pass costs in memory), every notification on, through `connect`
// (null: the in-memory model itself).
std::vector<std::string> RunDay(outlook::Connector connect, int* entered = nullptr) {
  EngineRig rig;
  FillScenario(*rig.outlook);
  for (auto* s : {&rig.host.meeting, &rig.host.morning, &rig.host.evening, &rig.host.task,
                  &rig.host.task_pre, &rig.host.task_reminder, &rig.host.urgent})
    *s = true;
  rig.clock->Set(ScenarioAt(6, 50));
  auto com = std::make_shared<CountedApartment>();
  if (connect) {
    rig.env.connector = std::move(connect);
    rig.env.com = com;
  }
  auto p = rig.Make();
  p->DebugEnabled = false;
  rig.event->on_wait = [&](int) {
    rig.clock->Advance(10.0 / 1440);
    if (rig.clock->Now() >= ScenarioAt(19, 10)) p->Stop();
  };
  p->Execute();
  if (entered != nullptr) *entered = com->entered;
  std::vector<std::string> sent;
  for (const auto& m : rig.outlook->Sent())
    sent.push_back(Escaped(m.to) + "\t" + Escaped(m.subject) + "\t" + Escaped(m.body));
  return sent;
}

std::vector<std::string> SentThrough(const std::filesystem::path& log) {
  std::vector<std::string> sent;
  for (const auto& line : Lines(log))
    if (line != "ready" && line != "quit") sent.push_back(line);
  return sent;
}

class ComBinding : public ::testing::Test {
 protected:
  TempDir dir;
  std::filesystem::path log = dir.path() / "sent.log";
};

TEST_F(ComBinding, TheDayThroughOutlookSendsWhatTheModelSends) {
  const std::vector<std::string> expected = RunDay(nullptr);
  ASSERT_GE(expected.size(), 6u);

  RunningServer server(log, "");
  ASSERT_TRUE(server.ready());
  RunDay(outlook::com::OutlookConnector());
  EXPECT_EQ(SentThrough(log), expected);
  const auto lines = Lines(log);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "quit"), 0)
      << "an Outlook the user had running is left running";
}

TEST_F(ComBinding, MembersTypesAndTheServersOwnErrors) {
  RunningServer server(log, "--fail \"Appointment.Body=Cannot read the body.\"");
  ASSERT_TRUE(server.ready());
  ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  {
    auto app = outlook::com::ConnectOutlook();
    auto calendar = app->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderCalendar);
    ASSERT_NE(calendar, nullptr);
    auto cafe = outlook::As<outlook::AppointmentItem>(calendar->Items()->Item(2));
    EXPECT_EQ(cafe->Subject(), "Caf\xC3\xA9 with Zo\xC3\xAB \xE2\x98\x95");
    EXPECT_EQ(cafe->Start(), ScenarioAt(11, 0)) << "DATE and TDateTime count alike";
    EXPECT_EQ(cafe->ReminderMinutesBeforeStart(), 10);
    try {
      cafe->Body();
      ADD_FAILURE() << "expected the server's error";
    } catch (const outlook::AutomationError& e) {
      EXPECT_STREQ(e.what(), "Cannot read the body.");
    }
    // Members looked up by name: the series' exception and the moved occurrence.
    auto review = outlook::As<outlook::AppointmentItem>(calendar->Items()->Item(7));
    auto pattern = review->GetRecurrencePattern();
    EXPECT_EQ(pattern->DayOfWeekMask(), 4 | 16);
    auto exceptions = pattern->Exceptions();
    ASSERT_EQ(exceptions->Count(), 1);
    EXPECT_EQ(exceptions->Item(1)->AppointmentItem()->Subject(), "Review (moved)");
    EXPECT_EQ(pattern->GetOccurrence(kScenarioDay + 2.0)->Start(), ScenarioAt(10, 0) + 2.0);
    // A member the item lacks (a task's, asked of a mail) fails as Outlook's do.
    auto inbox = app->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderInbox);
    auto mail = outlook::As<outlook::MailItem>(inbox->Items()->Item(1));
    EXPECT_EQ(mail->Subject(), "Server down\r\nBcc: everyone@example.org");
    EXPECT_THROW(app->GetNamespace("LDAP"), outlook::AutomationError);
  }
  CoUninitialize();
  // After the apartment is gone its objects are neither called nor released.
  ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  CoUninitialize();
}

TEST_F(ComBinding, AServerThatDiesMidPassIsStartedAgainAndNothingIsLostOrRepeated) {
  const std::vector<std::string> expected = RunDay(nullptr);
  // The first server dies at its 200th call; COM starts the next from the registration.
  RegisterServer(log, "");
  RunningServer server(
      log, "--die-after 200 \"" + platform::Utf8Text(WindowsPath(dir.path() / "died")) + "\"");
  ASSERT_TRUE(server.ready());
  int entered = 0;
  RunDay(outlook::com::OutlookConnector(), &entered);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "died"));
  EXPECT_EQ(SentThrough(log), expected);
  EXPECT_EQ(entered, 2) << "one failed pass, one reconnection";
  // The engine started that Outlook, so it quits it as the engine ends.
  const auto lines = Lines(log);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "quit"), 1);
}

// The console host: settings from the registry, texts through the running Outlook. (Its stop by
// Ctrl+C is console-stop.sh's: Wine gives console events only to a program whose console is a
// terminal. Without a display Wine makes no windows, so the end of a session is not tried here.)
TEST_F(ComBinding, TheConsoleHostTextsThroughOutlook) {
  {
    platform::WindowsRegistry registry;
    settings::TSettings s;
    s.SetSwitch(settings::NotifySwitch::kUrgentEmail, true);
    s.SetService(4);  // Sprint
    s.SetPin("5551234567");
    s.SetEarlyTime(EncodeTime(0, 0, 1));
    s.SetLateTime(EncodeTime(23, 59, 59));
    std::ostringstream err;
    settings::ConsoleSettingsWindow window(err);
    settings::SaveSettings(s, registry, window);
  }
  ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", WindowsPath(dir.path()).c_str()));
  RunningServer server(log, "--urgent-now");
  ASSERT_TRUE(server.ready());

  const std::filesystem::path out = dir.path() / "out.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(WindowsPath(out).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = start.hStdError = output;
  PROCESS_INFORMATION host{};
  std::wstring command = L"\"" + WindowsPath(RAVENOX_ENGINE_EXE) + L"\"";
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &start, &host));
  CloseHandle(output);
  // Whatever fails below, the host does not outlive the test.
  struct Reaper {
    HANDLE process;
    ~Reaper() {
      if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 1);
    }
  } reaper{host.hProcess};
  // The first pass finds the user just come (no look before it); the next, a minute on, away.
  for (int i = 0; i < 1800 && SentThrough(log).empty(); ++i) Sleep(100);
  const auto sent = SentThrough(log);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], "5551234567@messaging.sprintpcs.com\tUrgent Email:Call me back From:Boss\t");

  const std::string printed = testing::ReadAll(out);
  EXPECT_NE(printed.find("Ravenox runs beside Outlook; texts go to 5551234567@"), printed.npos);
  // The state the send left: the mail's record, in the data folder of LOCALAPPDATA.
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "Brindlemoor" / "Ravenox" / "EMAIL.CLD"));
}

}  // namespace
}  // namespace ravenox::testing
