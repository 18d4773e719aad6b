#include "shell/Headless.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "base/Formats.h"
#include "engine/OutlookProcessorUnit.h"
#include "outlook/localstore/Profile.h"
#include "platform/RegistryFile.h"
#include "platform/SessionInput.h"
#include "settings/SettingsHost.h"
#include "settings/SettingsStore.h"
#include "shell/LocalStoreEngine.h"

namespace ravenox::shell {

using namespace ravenox::settings;
namespace {

constexpr int kStopRounds = 11;  // 11 × 54 ms: the 594 ms the window also waits
constexpr unsigned kStopRoundMs = 54;

std::string Stamp() {
  return FormatDateTime(FromUnixLocal(time(nullptr)));
}

class HeadlessHost final : public TSettingsHost {
 public:
  HeadlessHost(TSettings& settings, std::ostream& out, std::ostream& err)
      : TSettingsHost(settings), out_(out), err_(err) {}

  void SetStatusText(const std::string& text) override {
    if (engine::IsProgressText(text)) return;
    std::lock_guard lock(mutex_);
    if (text == last_) return;  // a pass repeats its texts; the log shows each change
    last_ = text;
    out_ << Stamp() << "  " << text << std::endl;
  }
  // The engine's end wakes the waiting thread at once: it needs no look every second.
  void SetProcessorRunning(bool running) override {
    running_.store(running);
    if (!running) pthread_kill(waiter_, SIGUSR1);
  }
  void ShowException(const std::string& message) override {
    std::lock_guard lock(mutex_);
    err_ << Stamp() << "  " << message << std::endl;
  }
  bool IsApplicationMainWindow() const override { return true; }
  bool Running() const { return running_.load(); }

 private:
  std::ostream& out_;
  std::ostream& err_;
  std::mutex mutex_;
  std::string last_;
  std::atomic<bool> running_{false};
  const pthread_t waiter_ = pthread_self();
};

}  // namespace

int RunHeadless(std::ostream& out, std::ostream& err, bool desktop) {
  const std::filesystem::path file = platform::RegistryFile::DefaultPath();
  platform::RegistryFile store(file, [&](const std::string& text) { err << text << std::endl; });
  TSettings settings;
  ConsoleSettingsWindow window(err);
  try {
    LoadSettings(settings, store, window);
  } catch (const std::exception& e) {
    err << "Ravenox cannot read its settings: " << e.what() << std::endl;
    return 1;
  }
  std::string address;
  GetPhoneAddress(settings, address);
  if (window.first_run || address.empty()) {
    err << "Ravenox is not configured yet: it has no phone address to text.\n"
        << "Start it once on a desktop, where its configuration wizard asks for the carrier, the\n"
        << "number and the times, or write the settings file " << file.string() << "\n"
        << "(see the README). Then start it again." << std::endl;
    return 2;
  }

  // The stop signals are taken here, by this thread alone; the engine's thread inherits the mask.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  sigaddset(&stops, SIGUSR1);  // the engine ended
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  HeadlessHost host(settings, out, err);
  out << Stamp() << "  Ravenox runs without windows; texts go to " << address << std::endl;
  // Without a desktop there is no wizard to write the store's profile: an example to edit.
  const auto profile = outlook::localstore::DefaultProfilePath();
  if (outlook::localstore::WriteExampleProfile(profile)) {
    out << Stamp() << "  Using Ravenox's own store; " << profile.string()
        << " shows how to name your calendars and mail" << std::endl;
  }
  // Without a desktop nobody can be at the computer; with one, its input state tells.
  engine::ProcessorEnvironment env;
  if (!desktop) env.input = std::make_shared<platform::HeadlessInput>();
  UseLocalStore(env);
  auto engine = std::make_unique<engine::TOutlookProcessor>(host, env);
  engine->DebugEnabled = true;

  int status = 0;
  while (true) {
    const int signal = host.Running() ? sigwaitinfo(&stops, nullptr) : SIGUSR1;
    if (signal > 0 && signal != SIGUSR1) {
      out << Stamp() << "  Stopping (signal " << signal << ")" << std::endl;
      break;
    }
    if (!host.Running()) {
      err << Stamp() << "  Outlook Processor has died. Please Restart Application." << std::endl;
      status = 1;
      break;
    }
  }
  engine->Stop();
  for (int round = 0; round < kStopRounds && host.Running(); ++round) {
    timespec nap{0, kStopRoundMs * 1000000L};
    nanosleep(&nap, nullptr);
    engine->Wake();
  }
  engine.reset();  // waits for the thread; the state files were saved on its way out
  try {
    SaveSettings(settings, store, window);
  } catch (const std::exception& e) {
    err << e.what() << std::endl;
    status = status == 0 ? 1 : status;
  }
  return status;
}

}  // namespace ravenox::shell
