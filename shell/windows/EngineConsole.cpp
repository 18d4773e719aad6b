// ravenox-engine.exe: the engine on Windows beside Outlook, run from a console. The settings come
// from the registry (HKEY_CURRENT_USER\Software\Brindlemoor\Ravenox), each status text is printed
// with its time, and Ctrl+C, Ctrl+Break, closing the console, logging off and shutting down stop
// the engine in order: the state files are saved, the settings written back, exit status 0.
//
// Exit status: 0 after a stop, 1 when the engine died or the settings could not be read or
// written, 2 when Ravenox has not been configured (no saved settings, or no phone address).
#include <windows.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "base/Formats.h"
#include "engine/OutlookProcessorUnit.h"
#include "outlook/com/ComOutlook.h"
#include "platform/Clock.h"
#include "platform/WindowsRegistry.h"
#include "settings/SettingsHost.h"
#include "settings/SettingsStore.h"

namespace {

using namespace ravenox;

// Set when a stop is asked for (console event or end of session); the asker waits for `stopped`.
HANDLE stop_requested = nullptr;
HANDLE stopped = nullptr;
// How long an ending session lets us save (Windows ends the process soon after).
constexpr DWORD kSessionEndWait = 4500;
// Stops the engine, saves and sets `stopped`; once, on the main thread.
std::function<void()> finish;

std::string Stamp() {
  return FormatDateTime(platform::SystemClock().Now());
}

class ConsoleHost final : public settings::TSettingsHost {
 public:
  ConsoleHost(settings::TSettings& settings, HANDLE ended)
      : TSettingsHost(settings), ended_(ended) {}
  void SetStatusText(const std::string& text) override {
    if (engine::IsProgressText(text)) return;
    std::lock_guard lock(mutex_);
    if (text == last_) return;  // a pass repeats its texts; the log shows each change
    last_ = text;
    std::cout << Stamp() << "  " << text << std::endl;
  }
  void SetProcessorRunning(bool running) override {
    running_.store(running);
    if (!running) SetEvent(ended_);
  }
  void ShowException(const std::string& message) override {
    std::lock_guard lock(mutex_);
    std::cerr << Stamp() << "  " << message << std::endl;
  }
  bool IsApplicationMainWindow() const override { return true; }
  bool Running() const { return running_.load(); }

 private:
  HANDLE ended_;
  std::mutex mutex_;
  std::string last_;
  std::atomic<bool> running_{false};
};

// Runs on a thread of its own. For the console's closing, log-off and shut-down the process ends
// when this returns, so it waits for the stop to finish.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  SetEvent(stop_requested);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(stopped, kSessionEndWait);
  return TRUE;
}

// A program that has windows hears of the session's end by message, not by console event: a hidden
// top-level window listens for it.
LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_QUERYENDSESSION) return TRUE;
  if (message == WM_ENDSESSION) {
    // On the main thread, inside its wait: the stop is made here, before the process is ended.
    if (wparam) {
      SetEvent(stop_requested);
      finish();
    }
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND SessionWindow() {
  WNDCLASSW type{};
  type.lpfnWndProc = OnSessionMessage;
  type.hInstance = GetModuleHandleW(nullptr);
  type.lpszClassName = L"RavenoxEngineSession";
  RegisterClassW(&type);
  return CreateWindowExW(0, type.lpszClassName, L"Ravenox", 0, 0, 0, 0, 0, nullptr, nullptr,
                         type.hInstance, nullptr);
}

constexpr const char* kUsage =
    "Usage: ravenox-engine [--help]\n"
    "Runs Ravenox's engine beside Outlook: texts the phone about meetings, tasks and urgent mail\n"
    "while the user is away, with the settings of "
    "HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox.\n"
    "Ctrl+C or Ctrl+Break stops it.\n";

int Run() {
  platform::WindowsRegistry registry;
  settings::TSettings settings;
  settings::ConsoleSettingsWindow window(std::cerr);
  try {
    settings::LoadSettings(settings, registry, window);
  } catch (const std::exception& e) {
    std::cerr << "Ravenox cannot read its settings: " << e.what() << std::endl;
    return 1;
  }
  std::string address;
  settings::GetPhoneAddress(settings, address);
  if (window.first_run || address.empty()) {
    std::cerr << "Ravenox is not configured yet: it has no phone address to text.\n"
              << "Write its settings under HKEY_CURRENT_USER\\" << settings::kSettingsKey
              << "\n(see the README), then start it again." << std::endl;
    return 2;
  }

  stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  SessionWindow();

  ConsoleHost host(settings, ended);
  std::cout << Stamp() << "  Ravenox runs beside Outlook; texts go to " << address << std::endl;
  engine::ProcessorEnvironment env;
  env.connector = outlook::com::OutlookConnector();
  auto processor = std::make_unique<engine::TOutlookProcessor>(host, env);

  int status = 0;
  bool finished = false;
  finish = [&] {
    if (finished) return;
    finished = true;
    processor->Stop();
    processor.reset();  // waits for the thread; the state files were saved on its way out
    try {
      settings::SaveSettings(settings, registry, window);
    } catch (const std::exception& e) {
      std::cerr << e.what() << std::endl;
      if (status == 0) status = 1;
    }
    std::cout << Stamp() << "  Stopped" << std::endl;
    SetEvent(stopped);
  };
  const HANDLE waits[] = {stop_requested, ended};
  while (!finished) {
    const DWORD woke = MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) {
      std::cout << Stamp() << "  Stopping" << std::endl;
      break;
    }
    if (woke == WAIT_OBJECT_0 + 1) {
      std::cerr << Stamp() << "  Outlook Processor has died. Please Restart Application."
                << std::endl;
      status = 1;
      break;
    }
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  finish();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      std::cout << kUsage;
      return 0;
    }
    std::cerr << "Unknown option: " << arg << "\n" << kUsage;
    return 2;
  }
  return Run();
}
