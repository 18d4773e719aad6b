// The real program under a real X server with a real tray, sending through msmtp to a local SMTP
// sink: it starts hidden in the tray, texts a meeting once while nobody is at the computer and not
// while the mouse moves, stops cleanly on SIGTERM, sends nothing again after a restart, lets one
// copy run, and without a display says how to configure it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "EngineFakes.h"
#include "engine/StateFileFormat.h"

extern char** environ;

namespace ravenox {
namespace {

using namespace std::chrono_literals;
using testing::ReadAll;
using testing::TempDir;

bool Have(const char* program) {
  return access(program, X_OK) == 0;
}

// Starts a program with `env` added to this one's environment; standard output and error go to
// `log` (appended) unless it is empty.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& log = "") {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  for (const auto& e : env) {
    const std::string name = e.substr(0, e.find('=') + 1);
    std::erase_if(environment, [&](const std::string& x) { return x.rfind(name, 0) == 0; });
    if (e.back() != '=') environment.push_back(e);  // "NAME=" removes NAME
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!log.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0 || pid <= 0) {
    // Never a pid that a signal could take for "every process": a child that is gone at once.
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(failed);
    pid = fork();
    if (pid == 0) _exit(127);
  }
  return pid;
}

// The exit status, or -1 when the program did not end in time (it is then killed).
int WaitFor(pid_t pid, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(20ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& log = "") {
  return WaitFor(Spawn(argv, env, log));
}

using testing::Count;

// A private home without a desktop.
std::vector<std::string> HeadlessEnv(const std::string& home) {
  return {"HOME=" + home,
          "XDG_CONFIG_HOME=" + home + "/.config",
          "XDG_DATA_HOME=" + home + "/.local/share",
          "XDG_RUNTIME_DIR=",
          "DISPLAY=",
          "WAYLAND_DISPLAY="};
}

struct Desktop {
  Desktop() {
    int fds[2];
    if (pipe(fds) != 0) return;
    xvfb = Spawn({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                  "1024x768x24", "-nolisten", "tcp"},
                 {});
    close(fds[1]);
    // The server writes its display number and a line feed once it is ready.
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return;
    display = ":" + number;
    tray = Spawn({"/usr/bin/trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                  "request", "--height", "32"},
                 {"DISPLAY=" + display});
    std::this_thread::sleep_for(700ms);
  }
  ~Desktop() {
    for (const pid_t pid : {tray, xvfb}) {
      if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
      }
    }
  }
  std::string display;
  pid_t xvfb = -1, tray = -1;
};

// The window on screen, by its title.
bool WindowShown(const std::string& display) {
  TempDir dir;
  const auto out = (dir.path() / "out").string();
  RunProgram({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^Ravenox$"},
             {"DISPLAY=" + display}, out);
  return !ReadAll(out).empty();
}

engine::TNotifyList Records(const std::filesystem::path& file) {
  engine::TNotifyList list;
  engine::DecodeStateFile(ReadAll(file), list);
  return list;
}

// A port nobody listens on now.
int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// The store profile under `d`/home: a calendar with one meeting starting at `start` with a
// 15-minute reminder, mail sent through msmtp to the sink on `port`.
void WriteStore(const std::filesystem::path& d, int port, time_t start) {
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", gmtime(&start));
  std::ofstream(d / "calendar.ics")
      << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:m1\r\n"
         "SUMMARY:Budget review\r\nLOCATION:Room 4\r\nDTSTART:"
      << stamp
      << "\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\nEND:VEVENT\r\n"
         "END:VCALENDAR\r\n";
  std::ofstream(d / "tasks.ics") << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
                                    "END:VCALENDAR\r\n";
  for (const char* sub : {"Inbox/new", "Inbox/cur", "Inbox/tmp"})
    std::filesystem::create_directories(d / sub);
  std::filesystem::create_directories(d / "home/.config/Brindlemoor");
  std::ofstream(d / "home/.config/Brindlemoor/Ravenox-store.conf")
      << "[Store]\ncalendars=" << (d / "calendar.ics").string()
      << "\ntasks=" << (d / "tasks.ics").string() << "\ninbox=" << (d / "Inbox").string()
      << "\noutbox=" << (d / "Outbox").string() << "\nsent=" << (d / "Sent").string()
      << "\nfrom=ravenox@test.example\nsendmail=/usr/bin/msmtp;--host=127.0.0.1;--port=" << port
      << ";--auth=off;--tls=off;--from=ravenox@test.example\n";
}

bool HaveDesktopTools() {
  return Have("/usr/bin/Xvfb") && Have("/usr/bin/trayer") && Have("/usr/bin/xdotool") &&
         Have("/usr/bin/msmtp") && system("/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null") == 0;
}

// Settings as the wizard leaves them: carrier "Other", the whole day as the user's day, meeting
// notifications on.
const char* const kSettings =
    "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox]\n"
    "\"Version\"=\"01.01.00.001\"\n\"MeetingNotify\"=dword:00000001\n"
    "\"MorningNotify\"=dword:00000000\n\"EveningNotify\"=dword:00000000\n"
    "\"TaskNotify\"=dword:00000000\n\"TaskPreNotify\"=dword:00000000\n"
    "\"TaskReminder\"=dword:00000000\n\"UrgentEmail\"=dword:00000000\n"
    "\"Top\"=dword:00000064\n\"Left\"=dword:00000064\n\"TaskRemindPeriod\"=dword:00000002\n"
    "\"Pin\"=\"\"\n\"EarlyTime\"=hex:00,00,00,00,00,00,00,00\n"
    "\"LateTime\"=hex:e3,d5,3f,f1,ff,ff,ef,3f\n\"Service\"=dword:00000008\n"
    "\"CustomAddr\"=\"\"\n\"CustomEmail\"=\"my.phone@test.example\"\n";

// A private home, runtime and working folder, a local SMTP sink, and a store profile sending to it
// whose calendar holds one meeting starting at `meeting_start` with a 15-minute reminder.
struct Sandbox {
  explicit Sandbox(time_t meeting_start) {
    std::filesystem::create_directories(d / "home/.config/Brindlemoor");
    std::filesystem::create_directories(d / "run");
    std::filesystem::create_directories(d / "work");
    std::filesystem::permissions(d / "run", std::filesystem::perms::owner_all);
    sink = Spawn(
        {"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(port)}, {},
        sink_log);
    WriteStore(d, port, meeting_start);
  }
  ~Sandbox() {
    kill(sink, SIGTERM);
    waitpid(sink, nullptr, 0);
  }
  // The program's environment on the X display `display`.
  std::vector<std::string> Env(const std::string& display) const {
    return {"HOME=" + home,
            "XDG_CONFIG_HOME=" + home + "/.config",
            "XDG_DATA_HOME=" + home + "/.local/share",
            "XDG_RUNTIME_DIR=" + (d / "run").string(),
            "DISPLAY=" + display,
            "WAYLAND_DISPLAY=",
            "QT_QPA_PLATFORM=xcb",
            "LC_ALL=C.UTF-8"};
  }
  // Messages the sink has received.
  int Messages() const { return Count(ReadAll(sink_log), "---------- MESSAGE FOLLOWS"); }

  TempDir dir;
  const std::filesystem::path& d = dir.path();
  const std::string home = (d / "home").string();
  const std::string sink_log = (d / "sink.log").string();
  const int port = FreePort();
  pid_t sink = -1;
};

TEST(Program, OnADesktopWithATrayAndASink) {
  if (!HaveDesktopTools()) GTEST_SKIP() << "Xvfb, trayer, xdotool, msmtp or aiosmtpd missing";
  Desktop desktop;
  ASSERT_FALSE(desktop.display.empty());
  // A meeting whose 15-minute reminder falls due within the minute.
  Sandbox sandbox((time(nullptr) / 60 + 16) * 60);
  const auto& d = sandbox.d;
  const std::string& home = sandbox.home;
  const std::string work = (d / "work").string();
  std::ofstream(d / "home/.config/Brindlemoor/Ravenox.reg") << kSettings;
  const std::vector<std::string> env = sandbox.Env(desktop.display);
  const std::string program = RAVENOX_BINARY;
  const std::string log = (d / "ravenox.log").string();
  const auto pointer = [&](int x, int y) {
    RunProgram({"/usr/bin/xdotool", "mousemove", std::to_string(x), std::to_string(y)},
               {"DISPLAY=" + desktop.display});
  };
  auto start_program = [&](const std::string& folder) {
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);
    const pid_t pid = Spawn({program}, env, log);
    std::filesystem::current_path(cwd);
    return pid;
  };
  // Puts the pointer at (x, y) and waits until the server says it is there.
  auto place = [&](int x, int y) {
    const std::string at = (d / "where").string();
    for (int i = 0; i < 50; ++i) {
      pointer(x, y);
      std::filesystem::remove(at);
      RunProgram({"/usr/bin/xdotool", "getmouselocation", "--shell"},
                 {"DISPLAY=" + desktop.display}, at);
      const std::string where = ReadAll(at);
      if (where.find("X=" + std::to_string(x) + "\n") != std::string::npos &&
          where.find("Y=" + std::to_string(y) + "\n") != std::string::npos)
        return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  };
  auto messages = [&] { return sandbox.Messages(); };

  // While the mouse moves, nothing is sent; the program sits in the tray.
  ASSERT_TRUE(place(400, 300));
  std::atomic<bool> moving{true};
  std::thread mover([&] {
    for (int i = 0; moving; ++i) {
      pointer(400 + (i % 2) * 7, 300 + i % 50);
      std::this_thread::sleep_for(50ms);
    }
  });
  pid_t ravenox = start_program(work);
  std::this_thread::sleep_for(4s);
  EXPECT_FALSE(WindowShown(desktop.display));
  EXPECT_EQ(messages(), 0);
  moving = false;
  mover.join();
  kill(ravenox, SIGTERM);
  EXPECT_EQ(WaitFor(ravenox), 0) << ReadAll(log);
  const auto state = d / "home/.local/share/Brindlemoor/Ravenox/NOTIFY.CLD";
  EXPECT_EQ(Records(state).Count(), 1);  // the meeting was seen, not sent

  // Nobody at the computer (the pointer where the engine starts looking from): the text goes out
  // once, and the state file records it. The X server counts the program's own windows appearing
  // as activity, so the engine's first look may find someone there and the text come a pass (a
  // minute) later.
  const std::string work2 = (d / "work2").string();
  ASSERT_TRUE(place(0, 0));
  ravenox = start_program(work2);
  for (int i = 0; i < 900 && messages() == 0; ++i) std::this_thread::sleep_for(100ms);
  EXPECT_EQ(messages(), 1) << ReadAll(log);
  EXPECT_NE(ReadAll(sandbox.sink_log).find("@loc:Room 4:Budget review"), std::string::npos);
  EXPECT_NE(ReadAll(sandbox.sink_log).find("To: my.phone@test.example"), std::string::npos)
      << ReadAll(sandbox.sink_log);
  // A second copy brings the first one's window forward and leaves.
  EXPECT_EQ(RunProgram({program}, env, log), 0);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(WindowShown(desktop.display));
  // A picture of the screen beside the test's output, for a person to look at.
  if (Have("/usr/bin/import")) {
    RunProgram({"/usr/bin/import", "-window", "root", "main-window.png"},
               {"DISPLAY=" + desktop.display});
  }
  kill(ravenox, SIGTERM);
  EXPECT_EQ(WaitFor(ravenox), 0);
  const auto records = Records(state);
  ASSERT_EQ(records.Count(), 1);
  EXPECT_TRUE(records[0].Notified);

  // A restart sends nothing again, from whatever folder it is started.
  ASSERT_TRUE(place(0, 0));
  ravenox = start_program((d / "work3").string());
  std::this_thread::sleep_for(4s);
  kill(ravenox, SIGTERM);
  EXPECT_EQ(WaitFor(ravenox), 0);
  EXPECT_EQ(messages(), 1);

  // Without a display and without settings: how to configure it, and status 2.
  std::filesystem::remove(d / "home/.config/Brindlemoor/Ravenox.reg");
  const std::string first_run = (d / "first-run.log").string();
  EXPECT_EQ(RunProgram({program},
                       {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                        "XDG_RUNTIME_DIR=" + (d / "run").string(), "DISPLAY=", "WAYLAND_DISPLAY="},
                       first_run),
            2);
  EXPECT_NE(ReadAll(first_run).find("not configured yet"), std::string::npos) << ReadAll(first_run);
}

// The value of a REG_BINARY time in a settings file, as a date-time.
double StoredTime(const std::string& settings, const std::string& name) {
  const auto at = settings.find("\"" + name + "\"=hex:");
  if (at == std::string::npos) return -1;
  unsigned char bytes[8] = {};
  std::istringstream hex(settings.substr(at + name.size() + 7, 23));
  for (auto& b : bytes) {
    unsigned v = 0;
    char comma;
    hex >> std::hex >> v;
    hex.get(comma);
    b = static_cast<unsigned char>(v);
  }
  double value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// A newcomer's first start: the welcome box, then the wizard, answered with keys as a person
// would (carrier "Other", an address, the whole day, meeting texts); the settings it leaves are
// what was chosen, and the engine texts the new address.
TEST(Program, AFirstRunGoesThroughTheWizardAndThenTexts) {
  if (!HaveDesktopTools()) GTEST_SKIP() << "Xvfb, trayer, xdotool, msmtp or aiosmtpd missing";
  Desktop desktop;
  ASSERT_FALSE(desktop.display.empty());
  // The meeting's reminder comes in a minute; a pass from two minutes before it to two after it
  // texts it. Whoever has just pressed the wizard's last key is at the computer, so the text may
  // wait for the pass after, a minute later.
  Sandbox sandbox(time(nullptr) + 16 * 60);
  const auto& d = sandbox.d;
  const std::string display = "DISPLAY=" + desktop.display;
  const std::vector<std::string> env = sandbox.Env(desktop.display);
  auto xdo = [&](std::vector<std::string> args, const std::string& out = "") {
    args.insert(args.begin(), "/usr/bin/xdotool");
    return RunProgram(args, {display}, out);
  };
  auto find_window = [&](const std::string& title) {
    const std::string out = (d / "found").string();
    for (int i = 0; i < 100; ++i) {
      std::filesystem::remove(out);
      xdo({"search", "--onlyvisible", "--name", title}, out);
      const std::string found = ReadAll(out);
      if (!found.empty()) return found.substr(0, found.find('\n'));
      std::this_thread::sleep_for(100ms);
    }
    return std::string();
  };
  int shot = 0;
  auto keys = [&](const std::vector<std::string>& names, const char* picture = nullptr) {
    for (const auto& k : names) xdo({"key", k});
    std::this_thread::sleep_for(400ms);
    // Pictures of the pages beside the test's output, for a person to look at.
    if (picture != nullptr && Have("/usr/bin/import")) {
      RunProgram({"/usr/bin/import", "-window", "root",
                  "wizard-" + std::to_string(++shot) + "-" + picture + ".png"},
                 {display});
    }
  };
  xdo({"mousemove", "0", "0"});

  const std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(d / "work");
  const std::string log = (d / "ravenox.log").string();
  const pid_t ravenox = Spawn({RAVENOX_BINARY}, env, log);
  std::filesystem::current_path(cwd);

  // The welcome box and then the wizard take the keyboard by themselves, with no window manager
  // to give it.
  ASSERT_FALSE(find_window("^Information$").empty()) << ReadAll(log);
  keys({});  // a moment, as a person reads it
  keys({"Return"});
  ASSERT_FALSE(find_window("^Ravenox Configuration Wizard$").empty()) << ReadAll(log);
  keys({}, "welcome");
  keys({"Return"}, "carrier");
  keys({"alt+o"});  // the access key of "Other", clicked after a moment as a button is
  keys({"Return"}, "custom-address");
  xdo({"type", "my.phone@test.example"});
  // The whole day: early 00:00, late 23:59.
  keys({"Tab", "Down", "Down", "Down", "Down", "Down", "Down", "Down", "Tab", "Tab", "Up", "Up",
        "Up", "Up", "Tab", "Down"},
       "custom-address-filled");
  keys({"Return"}, "calendar-and-mail");
  keys({"Return"}, "meetings");
  keys({"Tab", "Tab", "space"}, "meetings-ticked");
  keys({"Return"}, "tasks");
  // Finish as a person does, the key down for a moment: the engine, woken by the new settings,
  // finds the user at the computer.
  xdo({"keydown", "Return"});
  std::this_thread::sleep_for(300ms);
  xdo({"keyup", "Return"});

  const auto settings_file = d / "home/.config/Brindlemoor/Ravenox.reg";
  for (int i = 0; i < 50 && !std::filesystem::exists(settings_file); ++i)
    std::this_thread::sleep_for(100ms);
  const std::string settings = ReadAll(settings_file);
  EXPECT_NE(settings.find("\"Service\"=dword:00000008"), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"CustomEmail\"=\"my.phone@test.example\""), std::string::npos);
  EXPECT_NE(settings.find("\"MeetingNotify\"=dword:00000001"), std::string::npos);
  EXPECT_NE(settings.find("\"UrgentEmail\"=dword:00000000"), std::string::npos);
  EXPECT_EQ(StoredTime(settings, "EarlyTime"), 37337.0);
  EXPECT_NEAR(StoredTime(settings, "LateTime"), 37337.0 + 1439.0 / 1440, 1e-9);
  EXPECT_TRUE(find_window("^Ravenox Configuration Wizard$").empty());

  // The engine takes the new settings at once and texts the address chosen.
  auto messages = [&] { return sandbox.Messages(); };
  for (int i = 0; i < 1500 && messages() == 0; ++i) std::this_thread::sleep_for(100ms);
  EXPECT_EQ(messages(), 1) << ReadAll(log);
  EXPECT_NE(ReadAll(sandbox.sink_log).find("To: my.phone@test.example"), std::string::npos)
      << ReadAll(sandbox.sink_log);
  EXPECT_NE(ReadAll(sandbox.sink_log).find("Budget review"), std::string::npos);
  kill(ravenox, SIGTERM);
  EXPECT_EQ(WaitFor(ravenox), 0) << ReadAll(log);
}

// The headless program killed (SIGKILL) at random moments while reminders fall due, its sendmail
// program taking, refusing or hanging at random, and started again each time from another folder;
// then left to drain: every reminder reaches the phone exactly once. RAVENOX_KILLS sets the number
// of kills (40 here; the long run takes 300 and more).
TEST(Program, KilledWhileRemindersFallDueEachGoesOnce) {
  const char* wanted = std::getenv("RAVENOX_KILLS");
  const int kills = wanted != nullptr ? std::max(1, std::atoi(wanted)) : 40;
  std::mt19937 random(20261208u + static_cast<unsigned>(kills));
  TempDir dir;
  const auto& d = dir.path();
  const std::string home = (d / "home").string();
  std::filesystem::create_directories(d / "home/.config/Brindlemoor");
  std::ofstream(d / "home/.config/Brindlemoor/Ravenox.reg") << kSettings;
  // The phone: a sendmail program that takes a text at once or after a while (and writes down its
  // subject in one append), refuses it at once or after a while, or hangs until its hand-off's
  // limit stops it.
  const auto delivered = d / "delivered.log";
  const auto sendmail = d / "sendmail";
  std::ofstream(sendmail)
      << "#!/bin/sh\n"
         "message=$(cat)\n"
         "roll=$(od -An -N1 -tu1 /dev/urandom | tr -d ' ')\n"
         "if [ \"$roll\" -lt 30 ]; then sleep 30; exit 75; fi\n"
         "if [ \"$roll\" -lt 55 ]; then exit 75; fi\n"
         "if [ \"$roll\" -lt 80 ]; then sleep 1.5; exit 75; fi\n"
         "if [ \"$roll\" -lt 150 ]; then sleep 1.5; fi\n"
         "printf '%s\\n' \"$(printf '%s\\n' \"$message\" | grep -m1 '^Subject:')\" >>"
      << delivered.string() << "\n";
  std::filesystem::permissions(sendmail, std::filesystem::perms::owner_all);
  // Reminders falling due through the time the kills take (about 1.65 s apart on average).
  const int reminders = std::max(8, kills / 3);
  const double span = kills * 1.65;
  const time_t first = time(nullptr) + 8;
  std::ostringstream calendar;
  calendar << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n";
  for (int i = 0; i < reminders; ++i) {
    const time_t due = first + static_cast<time_t>(span * i / reminders);
    const time_t start = due + 15 * 60;
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", gmtime(&start));
    calendar << "BEGIN:VEVENT\r\nUID:r" << i << "\r\nSUMMARY:Reminder " << i
             << " due\r\nLOCATION:Room\r\nDTSTART:" << stamp
             << "\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n"
                "END:VEVENT\r\n";
  }
  calendar << "END:VCALENDAR\r\n";
  std::ofstream(d / "calendar.ics") << calendar.str();
  std::ofstream(d / "tasks.ics") << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nEND:VCALENDAR\r\n";
  std::ofstream(d / "home/.config/Brindlemoor/Ravenox-store.conf")
      << "[Store]\ncalendars=" << (d / "calendar.ics").string()
      << "\ntasks=" << (d / "tasks.ics").string() << "\noutbox=" << (d / "Outbox").string()
      << "\nsent=" << (d / "Sent").string()
      << "\nfrom=ravenox@test.example\nsendmail=" << sendmail.string() << "\nsendmail_timeout=3\n";
  const std::vector<std::string> env = HeadlessEnv(home);
  const std::string log = (d / "ravenox.log").string();
  auto start_in = [&](int run) {
    const std::string cwd = std::filesystem::current_path().string();
    const auto folder = d / ("run" + std::to_string(run % 7));
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);
    const pid_t pid = Spawn({RAVENOX_BINARY, "--headless"}, env, log);
    std::filesystem::current_path(cwd);
    return pid;
  };
  for (int run = 0; run < kills; ++run) {
    const pid_t pid = start_in(run);
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(300, 3000)(random)));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  // Left to drain: each start tries at once what waits; the last hand-offs end within their limit.
  const time_t last_due = first + static_cast<time_t>(span);
  for (int round = 0; round < 8; ++round) {
    const pid_t pid = start_in(100 + round);
    std::this_thread::sleep_for(6s);
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitFor(pid), 0) << ReadAll(log).substr(0, 2000);
    std::error_code ec;
    const bool empty = std::filesystem::is_empty(d / "Outbox/new", ec) &&
                       std::filesystem::is_empty(d / "Outbox/cur", ec);
    if (empty && time(nullptr) > last_due + 5) break;
  }
  const std::string got = ReadAll(delivered);
  int lost = 0, doubled = 0;
  for (int i = 0; i < reminders; ++i) {
    const int n = Count(got, ":Reminder " + std::to_string(i) + " due");
    lost += n == 0 ? 1 : 0;
    doubled += n > 1 ? 1 : 0;
    EXPECT_EQ(n, 1) << "Reminder " << i;
  }
  std::printf("kill test of the program: %d kills, %d reminders, %d lost, %d sent twice\n", kills,
              reminders, lost, doubled);
  EXPECT_EQ(Count(got, "\n"), reminders);
}

// Without a display: SIGTERM, SIGINT and SIGHUP stop it with everything saved and status 0; an
// engine that dies (its store cannot be opened at all) is reported with status 1.
TEST(Program, HeadlessStopsOnSignalsAndReportsADeadEngine) {
  TempDir dir;
  const auto& d = dir.path();
  const std::string home = (d / "home").string();
  std::filesystem::create_directories(d / "home/.config/Brindlemoor");
  std::filesystem::create_directories(d / "work");
  std::ofstream(d / "home/.config/Brindlemoor/Ravenox.reg") << kSettings;
  const std::vector<std::string> env = HeadlessEnv(home);
  const std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(d / "work");
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    const std::string log = (d / ("run" + std::to_string(signal))).string();
    const pid_t pid = Spawn({RAVENOX_BINARY, "--headless"}, env, log);
    for (int i = 0; i < 100 && ReadAll(log).find("Processor Idle.") == std::string::npos; ++i)
      std::this_thread::sleep_for(100ms);
    kill(pid, signal);
    EXPECT_EQ(WaitFor(pid), 0) << ReadAll(log);
    EXPECT_NE(ReadAll(log).find("Stopping (signal " + std::to_string(signal) + ")"),
              std::string::npos);
    // In the program's data folder, not in the folder it was started from.
    EXPECT_TRUE(std::filesystem::exists(d / "home/.local/share/Brindlemoor/Ravenox/NOTIFY.CLD"));
    EXPECT_TRUE(std::filesystem::exists(d / "home/.local/share/Brindlemoor/Ravenox/DEBUG.LOG"));
    EXPECT_FALSE(std::filesystem::exists(d / "work/NOTIFY.CLD"));
  }
  // A store profile that is a folder cannot be read: every pass fails, and the engine gives up.
  std::filesystem::remove(d / "home/.config/Brindlemoor/Ravenox-store.conf");
  std::filesystem::create_directories(d / "home/.config/Brindlemoor/Ravenox-store.conf");
  const std::string dead = (d / "dead").string();
  EXPECT_EQ(RunProgram({RAVENOX_BINARY, "--headless"}, env, dead), 1) << ReadAll(dead);
  EXPECT_NE(ReadAll(dead).find("Outlook Processor has died. Please Restart Application."),
            std::string::npos);
  std::filesystem::current_path(cwd);
}

}  // namespace
}  // namespace ravenox
