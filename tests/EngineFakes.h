// Fakes for driving the engine without a display, a real clock or Outlook.
#pragma once

#if defined(_WIN32)
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/OutlookProcessorUnit.h"
#include "engine/ProcessorHost.h"
#include "outlook/fake/FakeOutlook.h"
#include "platform/Clock.h"
#include "platform/ComApartment.h"
#include "platform/InputState.h"
#include "platform/WakeEvent.h"

namespace ravenox::testing {

class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(TDateTime now = EncodeDateTime(2026, 12, 8, 10, 0)) : now_(now.Value()) {}
  TDateTime Now() override { return now_.load(); }
  // Sleeping moves the fake time on; nothing blocks.
  void Sleep(unsigned milliseconds) override { Advance(milliseconds / 86400000.0); }
  void Set(TDateTime t) { now_.store(t.Value()); }
  void Advance(double days) {
    double v = now_.load();
    while (!now_.compare_exchange_weak(v, v + days)) {
    }
  }

 private:
  std::atomic<double> now_;
};

class FakeInput final : public platform::InputState {
 public:
  platform::CursorPoint GetCursorPos() override {
    std::lock_guard lock(mutex_);
    ++cursor_reads;
    if (on_cursor_read) on_cursor_read(cursor_reads, cursor);
    return cursor;
  }
  void GetKeyboardState(platform::KeyTable& keys) override {
    std::lock_guard lock(mutex_);
    keys = this->keys;
  }
  void SetCursor(int x, int y) {
    std::lock_guard lock(mutex_);
    cursor = {x, y};
  }
  void SetKey(int index, bool down) {
    std::lock_guard lock(mutex_);
    keys[static_cast<std::size_t>(index)] = down ? 0x80 : 0;
  }
  std::string Problem() override {
    std::lock_guard lock(mutex_);
    return problem;
  }
  void SetProblem(std::string why) {
    std::lock_guard lock(mutex_);
    problem = std::move(why);
  }

  platform::CursorPoint cursor{100, 100};
  platform::KeyTable keys{};
  std::string problem;  // nothing tells about input, and why
  long cursor_reads = 0;
  // Called under the lock on every cursor read with the read number; may move the cursor.
  std::function<void(long, platform::CursorPoint&)> on_cursor_read;
  long pauses = 0;  // of the watch before a send, which takes no time here

 protected:
  void Pause(std::chrono::milliseconds) override { ++pauses; }

 private:
  std::mutex mutex_;
};

// A wake event that never blocks: each wait records its time-out and runs a hook in which a test
// can stop the engine, request a test message or move the clock.
class FakeEvent final : public platform::WakeEvent {
 public:
  void Set() override { signaled = true; }
  void Reset() override { signaled = false; }
  bool Wait(std::chrono::milliseconds timeout) override {
    timeouts.push_back(static_cast<int>(timeout.count()));
    if (on_wait) on_wait(static_cast<int>(timeouts.size()));
    return signaled;
  }
  bool signaled = false;
  std::vector<int> timeouts;
  std::function<void(int)> on_wait;
};

// A real event that also counts the waits begun, so a test thread can wait for the engine to
// reach its sleep.
class CountingEvent final : public platform::WakeEvent {
 public:
  void Set() override { inner_.Set(); }
  void Reset() override { inner_.Reset(); }
  bool Wait(std::chrono::milliseconds timeout) override {
    {
      std::lock_guard lock(mutex_);
      ++waits_;
    }
    cond_.notify_all();
    return inner_.Wait(timeout);
  }
  bool WaitForWaits(int n, std::chrono::seconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return cond_.wait_for(lock, limit, [&] { return waits_ >= n; });
  }
  int Waits() {
    std::lock_guard lock(mutex_);
    return waits_;
  }

 private:
  platform::LocalEvent inner_;
  std::mutex mutex_;
  std::condition_variable cond_;
  int waits_ = 0;
};

class FakeCom final : public platform::ComApartment {
 public:
  // Results of successive Initialize calls; once used up, every call succeeds.
  std::vector<bool> results;
  bool Initialize() override {
    ++initialized;
    if (next_ < results.size()) return results[next_++];
    return true;
  }
  void Uninitialize() override { ++uninitialized; }
  int initialized = 0, uninitialized = 0;

 private:
  std::size_t next_ = 0;
};

class RecordingDebugOutput final : public platform::DebugOutput {
 public:
  void Write(std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines.emplace_back(line);
  }
  std::vector<std::string> lines;

 private:
  std::mutex mutex_;
};

class TestHost final : public engine::ProcessorHost {
 public:
  bool MeetingNotify() const override { return meeting; }
  bool MorningNotify() const override { return morning; }
  bool EveningNotify() const override { return evening; }
  bool TaskNotify() const override { return task; }
  bool TaskPreNotify() const override { return task_pre; }
  bool TaskReminder() const override { return task_reminder; }
  bool UrgentEmail() const override { return urgent; }
  int32_t TaskRemindPeriod() const override { return remind_period; }
  TDateTime EarlyTime() const override { return early.load(); }
  TDateTime LateTime() const override { return late.load(); }
  void SetTaskRemindPeriod(int32_t period) override { remind_period = period; }
  void GetPhoneAddress(std::string& address) override {
    std::lock_guard lock(mutex_);
    if (!phone_address.empty()) address = phone_address;
  }
  void SetStatusText(const std::string& text) override {
    std::lock_guard lock(mutex_);
    status_texts.push_back(text);
  }
  void SetProcessorRunning(bool running) override { processor_running = running; }
  void ShowException(const std::string& message) override {
    std::lock_guard lock(mutex_);
    exceptions.push_back(message);
  }
  bool IsApplicationMainWindow() const override { return main_window; }

  std::vector<std::string> Statuses() {
    std::lock_guard lock(mutex_);
    return status_texts;
  }
  std::vector<std::string> Exceptions() {
    std::lock_guard lock(mutex_);
    return exceptions;
  }

  std::atomic<bool> meeting{false}, morning{false}, evening{false}, task{false}, task_pre{false},
      task_reminder{false}, urgent{false};
  std::atomic<int32_t> remind_period{2};
  std::atomic<double> early{7.0 / 24}, late{19.0 / 24};
  std::atomic<bool> processor_running{false};
  bool main_window = true;
  std::string phone_address = "5551234567@messaging.sprintpcs.com";
  std::vector<std::string> status_texts, exceptions;

 private:
  std::mutex mutex_;
};

// The whole content of a file ("" when it cannot be read).
inline std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// How often `what` occurs in `text`.
inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The shared corpus of real calendars and mails other projects' suites hold: the folder
// $RAVENOX_CORPORA names, else `corpora` in the shared folder beside the project (`shared_dir`).
// Empty when it is not there; `looked` then says where it was looked for.
inline std::filesystem::path Corpora(const std::filesystem::path& shared_dir, std::string& looked) {
  const char* named = std::getenv("RAVENOX_CORPORA");
  // A folder named on purpose must be there: its absence is a failure, not a skip.
  if (named != nullptr && *named != '\0') return named;
  const std::filesystem::path beside = shared_dir / "corpora";
  std::error_code ec;
  if (std::filesystem::is_directory(beside, ec)) return beside;
  looked = "the shared corpus is not at " + beside.string() +
           " (name another folder with RAVENOX_CORPORA to run this test)";
  return {};
}

// In a test of a target that defines RAVENOX_SHARED_DIR: the shared corpus as `var`, or the test
// is skipped with a line saying where the corpus was looked for.
#define RAVENOX_CORPORA_OR_SKIP(var)                                                               \
  std::string corpora_looked;                                                                      \
  const std::filesystem::path var = ravenox::testing::Corpora(RAVENOX_SHARED_DIR, corpora_looked); \
  if (var.empty()) GTEST_SKIP() << corpora_looked

// A temporary folder removed with the object.
class TempDir {
 public:
  TempDir() {
#if defined(_WIN32)
    static std::atomic<int> made{0};
    path_ = std::filesystem::temp_directory_path() /
            ("ravenox-test-" + std::to_string(_getpid()) + "-" + std::to_string(++made));
    std::filesystem::create_directories(path_);
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "ravenox-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
#endif
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const {
    return path_;
  }

 private:
  std::filesystem::path path_;
};

// Runs `check` in a child process under an ordinary account when this one is root (root can write
// any file), else here; returns what it reports, empty when all went well.
inline std::string AsOrdinaryUser(const std::function<std::string()>& check) {
#if defined(_WIN32)
  return check();  // permissions are the folder's there
#else
  if (geteuid() != 0) return check();
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string report = "cannot become nobody";
    if (setgid(65534) == 0 && setuid(65534) == 0) report = check();
    if (!report.empty() && write(fds[1], report.data(), report.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += " (child failed)";
  return report;
#endif
}

// An engine on fakes, without its thread.
// The calendar from the local store, new mail from the fake, which notes what is sent.
class StoreWithFakeMail final : public outlook::Application {
 public:
  StoreWithFakeMail(std::shared_ptr<outlook::Application> store,
                    std::shared_ptr<outlook::Application> mail)
      : store_(std::move(store)), mail_(std::move(mail)) {}
  std::shared_ptr<outlook::NameSpace> GetNamespace(const std::string& type) override {
    return store_->GetNamespace(type);
  }
  std::shared_ptr<outlook::OutlookItem> CreateItem(int type) override {
    return mail_->CreateItem(type);
  }
  void Quit() override {}

 private:
  std::shared_ptr<outlook::Application> store_, mail_;
};

struct EngineRig {
  // The rig's clock as a function, for a store that looks at the time itself.
  std::function<TDateTime()> Now() const {
    return [c = clock] { return c->Now(); };
  }
  EngineRig() {
    env.clock = clock;
    env.input = input;
    env.com = com;
    env.debug_output = trace;
    env.connector = outlook->MakeConnector();
    env.working_dir = dir.path();
    env.start_thread = false;
    env.open_event = [this](const std::string&, std::string&) {
      auto e = std::make_unique<FakeEvent>();
      event = e.get();
      return e;
    };
  }
  std::unique_ptr<engine::TOutlookProcessor> Make() {
    auto p = std::make_unique<engine::TOutlookProcessor>(host, env);
    p->DebugEnabled = true;
    // Where an away check would have found the cursor, for tests that send without one.
    if (env.input == input) p->CurrentCursor = input->cursor;
    return p;
  }
  // How many debug lines end with `text` (after the time stamp).
  static int Count(const engine::TOutlookProcessor& p, const std::string& text) {
    int n = 0;
    for (const auto& line : p.DebugLines()) {
      if (line.size() >= text.size() + 2 &&
          line.compare(line.size() - text.size(), text.size(), text) == 0 &&
          line.compare(line.size() - text.size() - 2, 2, ": ") == 0)
        ++n;
    }
    return n;
  }

  TempDir dir;
  TestHost host;
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::shared_ptr<FakeInput> input = std::make_shared<FakeInput>();
  std::shared_ptr<FakeCom> com = std::make_shared<FakeCom>();
  std::shared_ptr<RecordingDebugOutput> trace = std::make_shared<RecordingDebugOutput>();
  std::shared_ptr<outlook::fake::FakeOutlook> outlook = outlook::fake::MakeFakeOutlook();
  FakeEvent* event = nullptr;
  engine::ProcessorEnvironment env;
};

}  // namespace ravenox::testing
