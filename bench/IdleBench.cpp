// What the running program costs a user's machine: the engine on a wall clock, its passes and
// waits as the program has them, on a calendar around today.
//   idle_bench around DIR N
//       writes DIR/around-N.ics, the vdir DIR/around-N/ and DIR/around-N.rem: N events around
//       today (ten years back, half a year on) and a meeting every two minutes for the next four
//       hours, whose reminders come now and then while the figures are taken
//   idle_bench run PATH SECONDS present|away [SCALE]
//       the engine (as `ravenox --headless` runs it, with its own data folder and profile in a
//       scratch home) on the calendar at PATH: after a first sweep of the calendar's view (with
//       short waits) and two passes, SECONDS of wall clock are measured. The waits are the engine's
//       own divided by SCALE (default 1). With DISPLAY set the session's own input sources answer
//       (the caller moves the pointer for "present"); without, "present" is input every half second
//       and "away" nobody. Prints one line of key=value figures: passes, cpu (seconds), wakeups
//       (the process's voluntary context switches: it slept and was woken), preempted (the
//       others), texts sent, the CPU of a pass that sent nothing and of a text beyond it (with the
//       copies its hand-off's fork costs the pass after it), the most
//       and the mean wake-ups of a pass in which nothing was sent, the same of such a pass that
//       also saved nothing (no state file replaced, no log rotated: the waits for the disk those
//       need are apart), and the resident memory in MB.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Generate.h"
#include "engine/OutlookProcessorUnit.h"
#include "platform/Memory.h"
#include "platform/SessionInput.h"
#include "shell/LocalStoreEngine.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// Wake-ups are the voluntary context switches (the process slept and was woken); the others are
// the scheduler's preemptions, counted apart.
struct Usage {
  double cpu = 0.0;
  long switches = 0, preempted = 0, faults = 0;
};

Usage Now() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return {seconds(r.ru_utime) + seconds(r.ru_stime), r.ru_nvcsw, r.ru_nivcsw,
          r.ru_minflt + r.ru_majflt};
}

// The end of each pass (the engine begins its wait) with what was used and sent by then, and
// which files of the data folder were there (a state file saved or the log rotated replaces one:
// such a pass also waited for the disk).
struct Sample {
  Usage usage;
  int texts = 0;
  std::string files;
  double looking = 0.0;  // the CPU the bench spent finding `files`, not the engine's
};

std::filesystem::path data_folder;

std::string DataFiles() {
  std::string out;
  for (const char* name : {"NOTIFY.CLD", "TASK.CLD", "EMAIL.CLD", "FIRST.CLD", "backup_DEBUG.LOG",
                           "Test-Note.NST", "Test-Task.NST"}) {
    struct stat st {};
    if (::stat((data_folder / name).c_str(), &st) == 0) out += std::to_string(st.st_ino) + ";";
  }
  return out;
}

std::mutex samples_mutex;
std::vector<Sample> samples;
std::atomic<int> texts{0};
// Whole sweeps of the calendar's view; until the first is done the waits are short.
std::atomic<int> sweeps{0};
std::atomic<bool> warm{false};

class BenchEvent final : public ravenox::platform::WakeEvent {
 public:
  BenchEvent(std::unique_ptr<ravenox::platform::WakeEvent> inner, double scale)
      : inner_(std::move(inner)), scale_(scale) {}
  void Set() override { inner_->Set(); }
  void Reset() override { inner_->Reset(); }
  bool Wait(std::chrono::milliseconds timeout) override {
    {
      const Usage usage = Now();
      std::string files = DataFiles();
      const double looking = Now().cpu - usage.cpu;
      std::lock_guard lock(samples_mutex);
      samples.push_back({usage, texts.load(), std::move(files), looking});
    }
    if (!warm.load()) return inner_->Wait(std::chrono::milliseconds(5));
    // What falling asleep and waking costs the engine's thread, apart from its pass.
    timespec a{}, b{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    const bool woken = inner_->Wait(std::chrono::milliseconds(
        static_cast<long long>(static_cast<double>(timeout.count()) / scale_)));
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    if (std::getenv("IDLE_BENCH_PASSES") != nullptr)
      std::fprintf(
          stderr, "  its wait: %.0f us of CPU\n",
          static_cast<double>((b.tv_sec - a.tv_sec) * 1000000000L + b.tv_nsec - a.tv_nsec) / 1e3);
    return woken;
  }

 private:
  std::unique_ptr<ravenox::platform::WakeEvent> inner_;
  double scale_;
};

class CountingOutput final : public ravenox::platform::DebugOutput {
 public:
  void Write(std::string_view line) override {
    if (line.rfind("Event:", 0) == 0) ++texts;
  }
};

// Input every half second, where no session answers.
class ScriptedInput final : public ravenox::platform::InputState {
 public:
  ravenox::platform::CursorPoint GetCursorPos() override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        SteadyClock::now().time_since_epoch());
    return {static_cast<int32_t>(ms.count() / 500), 0};
  }
  void GetKeyboardState(ravenox::platform::KeyTable& keys) override { keys.fill(0); }
};

// Every switch on, the whole day inside the user's day.
class BenchHost final : public ravenox::engine::ProcessorHost {
 public:
  bool MeetingNotify() const override { return true; }
  bool MorningNotify() const override { return true; }
  bool EveningNotify() const override { return true; }
  bool TaskNotify() const override { return true; }
  bool TaskPreNotify() const override { return true; }
  bool TaskReminder() const override { return true; }
  bool UrgentEmail() const override { return true; }
  int32_t TaskRemindPeriod() const override { return 1; }
  ravenox::TDateTime EarlyTime() const override { return 1.0 / 1440; }
  ravenox::TDateTime LateTime() const override { return 1.0 - 1.0 / 1440; }
  void SetTaskRemindPeriod(int32_t) override {}
  void GetPhoneAddress(std::string& address) override { address = "5550100@sms.example.org"; }
  // The scan's progress text counts the items; it starts again at 1 after a whole sweep.
  void SetStatusText(const std::string& text) override {
    static const std::string kProgress = "Checking for New Appointments...";
    if (text.rfind(kProgress, 0) != 0 || text.size() == kProgress.size()) return;
    const long at = std::atol(text.c_str() + kProgress.size());
    if (at < last_) ++sweeps;
    last_ = at;
  }
  void SetProcessorRunning(bool) override {}
  void ShowException(const std::string&) override {}
  bool IsApplicationMainWindow() const override { return true; }

 private:
  long last_ = 0;
};

double ResidentMb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

int Around(const std::filesystem::path& dir, int events) {
  std::filesystem::create_directories(dir);
  const ravenox::TDateTime now = ravenox::FromUnixLocal(time(nullptr));
  const ravenox::TDateTime today = std::floor(now.Value());
  std::ostringstream ics, rem;
  for (int k = 0; k < 120; ++k) {
    // Reminders a quarter hour ahead of each start: the first one a minute from now.
    const ravenox::DateParts p = ravenox::DecodeDateTime(now + (16.0 + 2.0 * k) / 1440);
    char start[32];
    std::snprintf(start, sizeof start, "%04d%02d%02dT%02d%02d00", p.year, p.month, p.day, p.hour,
                  p.minute);
    ics << "BEGIN:VEVENT\r\nUID:odd-" << k << "@example.org\r\nDTSTAMP:20200101T000000Z\r\n"
        << "DTSTART:" << start << "\r\nSUMMARY:Odd reminder " << k << "\r\n"
        << "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nDESCRIPTION:Reminder\r\n"
        << "END:VALARM\r\nEND:VEVENT\r\n";
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    rem << "REM " << p.day << " " << kMonths[p.month - 1] << " " << p.year << " AT " << p.hour
        << ":" << p.minute << " +15 MSG Odd reminder " << k << "\n";
  }
  bench::WriteCalendars(dir, "around-" + std::to_string(events), events, today - 3650.0, ics.str(),
                        rem.str());
  return 0;
}

int Run(const std::filesystem::path& calendar, double seconds, bool present, double scale) {
  ravenox::platform::KeepFreedMemoryForReuse();  // as the program does
  char scratch[] = "/tmp/ravenox-idle-bench-XXXXXX";
  const std::filesystem::path home = mkdtemp(scratch);
  setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
  setenv("HOME", home.c_str(), 1);
  std::filesystem::create_directories(home / "config/Brindlemoor");
  for (const char* box : {"Inbox", "Outbox", "Sent"}) {
    for (const char* sub : {"tmp", "new", "cur"})
      std::filesystem::create_directories(home / box / sub);
  }
  std::ofstream(home / "tasks.ics") << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nEND:VCALENDAR\r\n";
  data_folder = home / "data/Brindlemoor/Ravenox";
  const auto sink = home / "sink";
  std::ofstream(sink) << "#!/bin/sh\ncat >/dev/null\n";
  std::filesystem::permissions(sink, std::filesystem::perms::owner_all);
  std::ofstream(home / "config/Brindlemoor/Ravenox-store.conf")
      << "[Store]\ncalendars=" << std::filesystem::absolute(calendar).string()
      << "\ntasks=" << (home / "tasks.ics").string() << "\ninbox=" << (home / "Inbox").string()
      << "\noutbox=" << (home / "Outbox").string() << "\nsent=" << (home / "Sent").string()
      << "\nfrom=bench@example.org\nsendmail=" << sink.string() << "\n";

  ravenox::engine::ProcessorEnvironment env;
  const bool display = std::getenv("DISPLAY") != nullptr && *std::getenv("DISPLAY") != '\0';
  if (!display) {
    if (present) {
      env.input = std::make_shared<ScriptedInput>();
    } else {
      env.input = std::make_shared<ravenox::platform::HeadlessInput>();
    }
  }
  env.debug_output = std::make_shared<CountingOutput>();
  env.open_event = [scale](const std::string&, std::string& note) {
    return std::make_unique<BenchEvent>(
        ravenox::platform::OpenNamedEvent("RavenoxIdleBench" + std::to_string(getpid()), note),
        scale);
  };
  ravenox::shell::UseLocalStore(env);
  BenchHost host;
  auto engine = std::make_unique<ravenox::engine::TOutlookProcessor>(host, env);
  engine->DebugEnabled = true;  // as the program runs it

  // A program that has run a while has read what its view holds: the first sweep of it goes by
  // with short waits, then two passes with the engine's own.
  const auto began = SteadyClock::now();
  auto passes = [] {
    std::lock_guard lock(samples_mutex);
    return samples.size();
  };
  while (sweeps.load() < 1 && SteadyClock::now() - began < std::chrono::minutes(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  warm = true;
  const std::size_t warmed = passes();
  while (passes() < warmed + 2 && SteadyClock::now() - began < std::chrono::minutes(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::size_t first = passes();
  const Usage start = Now();
  const int texts_before = texts.load();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const Usage end = Now();
  const int sent = texts.load() - texts_before;
  const double resident = ResidentMb();
  // Passes are counted from the first that began after this thread went to sleep: the one under
  // way when it stopped looking would count its last look and its falling asleep as the engine's
  // wake-ups. That one is kept only to tell whether a text went in it.
  std::vector<Sample> taken;
  {
    std::lock_guard lock(samples_mutex);
    taken.assign(samples.begin() + static_cast<long>(first - 1), samples.end());
  }
  engine->Stop();
  engine.reset();
  if (std::getenv("IDLE_BENCH_KEEP") != nullptr) {
    std::fprintf(stderr, "kept: %s\n", home.c_str());
  } else {
    std::filesystem::remove_all(home);
  }

  long quiet_max = 0, quiet_sum = 0, quiet = 0, still_max = 0, still_sum = 0, still = 0;
  double quiet_cpu = 0.0, sending_cpu = 0.0;
  int sending = 0;
  // A text's hand-off forks: the pages the engine writes in the next pass are copied then (a
  // fault each), so that pass is counted with the text, not as one that sent nothing.
  int text_passes = 0;
  for (std::size_t i = 2; i < taken.size(); ++i) {
    const double used = taken[i].usage.cpu - taken[i - 1].usage.cpu - taken[i - 1].looking;
    const bool sent_here = taken[i].texts != taken[i - 1].texts;
    const bool after_text = taken[i - 1].texts != taken[i - 2].texts;
    if (sent_here || after_text) {
      sending_cpu += used;
      sending += taken[i].texts - taken[i - 1].texts;
      ++text_passes;
      continue;
    }
    quiet_cpu += used;
    const long w = taken[i].usage.switches - taken[i - 1].usage.switches;
    if (std::getenv("IDLE_BENCH_PASSES") != nullptr)
      std::fprintf(stderr, "pass %zu: %.4f s, %ld wake-ups, %ld page faults%s\n", i, used, w,
                   taken[i].usage.faults - taken[i - 1].usage.faults,
                   taken[i].files == taken[i - 1].files ? "" : ", saved");
    quiet_max = std::max(quiet_max, w);
    quiet_sum += w;
    ++quiet;
    if (taken[i].files == taken[i - 1].files) {
      still_max = std::max(still_max, w);
      still_sum += w;
      ++still;
    }
  }
  // Those passes cost quiet passes and the texts.
  const double quiet_pass = quiet > 0 ? quiet_cpu / static_cast<double>(quiet) : 0.0;
  const double per_text =
      sending > 0 ? (sending_cpu - quiet_pass * static_cast<double>(text_passes)) / sending : 0.0;
  std::printf(
      "passes=%zu cpu=%.4f wakeups=%ld preempted=%ld texts=%d quiet_passes=%ld quiet_max=%ld "
      "quiet_mean=%.2f still_passes=%ld still_max=%ld still_mean=%.2f quiet_cpu=%.5f "
      "text_cpu=%.5f resident=%.1f\n",
      taken.size() >= 2 ? taken.size() - 2 : 0, end.cpu - start.cpu, end.switches - start.switches,
      end.preempted - start.preempted, sent, quiet, quiet_max,
      quiet > 0 ? static_cast<double>(quiet_sum) / static_cast<double>(quiet) : 0.0, still,
      still_max, still > 0 ? static_cast<double>(still_sum) / static_cast<double>(still) : 0.0,
      quiet_pass, per_text, resident);
  return 0;
}

}  // namespace

int Watch() {
  ravenox::platform::SessionInput input;
  input.LookAgain();
  const ravenox::platform::CursorPoint at = input.GetCursorPos();
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  const auto began = SteadyClock::now();
  const bool back = input.InputWithin(std::chrono::seconds(1), at, [] { return false; });
  const double wall = std::chrono::duration<double>(SteadyClock::now() - began).count();
  getrusage(RUSAGE_THREAD, &after);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  const double cpu = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) -
                     seconds(before.ru_stime);
  std::printf("cpu=%.4f wall=%.3f input=%d\n", cpu, wall, back ? 1 : 0);
  return 0;
}

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "watch") return Watch();
  if (mode == "around" && argc >= 4) return Around(argv[2], std::atoi(argv[3]));
  if (mode == "run" && argc >= 5) {
    const double scale = argc >= 6 ? std::atof(argv[5]) : 1.0;
    return Run(argv[2], std::atof(argv[3]), std::string(argv[4]) == "present",
               scale > 0 ? scale : 1.0);
  }
  std::fprintf(stderr, "usage: idle_bench around DIR N | run PATH SECONDS present|away [SCALE]\n");
  return 2;
}
