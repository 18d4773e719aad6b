#include "tools/support/SupportTool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine/OutlookProcessorUnit.h"
#include "engine/StateFileFormat.h"
#include "outlook/eds/DesktopCalendars.h"
#include "outlook/localstore/LocalStore.h"
#include "outlook/localstore/Profile.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/RegistryFile.h"
#include "platform/SessionInput.h"
#include "settings/Carriers.h"
#include "settings/SettingsStore.h"
#include "tools/support/SupportLines.h"

namespace ravenox::shell {

using namespace ravenox::settings;
namespace {

using engine::DecodeResult;
using namespace inspect;

enum class Kind { kUnknown, kNotify, kTask, kEmail, kFirst };

Kind KindFromName(std::string name) {
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name == "NOTIFY.CLD" || name == "NOTIFY") return Kind::kNotify;
  if (name == "TASK.CLD" || name == "TASK") return Kind::kTask;
  if (name == "EMAIL.CLD" || name == "EMAIL") return Kind::kEmail;
  if (name == "FIRST.CLD" || name == "FIRST") return Kind::kFirst;
  return Kind::kUnknown;
}

std::size_t RecordSize(Kind kind) {
  switch (kind) {
    case Kind::kNotify:
      return engine::kNotifyRecordSize;
    case Kind::kTask:
      return engine::kTaskRecordSize;
    case Kind::kFirst:
      return engine::kFirstFileSize - 4;
    default:
      return engine::kEmailRecordSize;
  }
}

void Print(std::ostream& out, const std::string& prefix, const engine::TEventItem& r) {
  out << prefix << Date(r.StartTime) << '\t' << Date(r.NotifyTime) << '\t' << Bool(r.Notified)
      << '\t' << Text(r.Text) << '\n';
}

void Print(std::ostream& out, const std::string& prefix, const engine::TTaskEvent& r) {
  out << prefix << Date(r.StartDate) << '\t' << Date(r.DueDay) << '\t' << Date(r.NextReminder)
      << '\t' << Date(r.PreNotifyDay) << '\t' << Date(r.EventDate) << '\t' << Bool(r.Notified)
      << '\t' << Bool(r.PreNotified) << '\t' << Date(r.LastNotified) << '\t' << Bool(r.Complete)
      << '\t' << Text(r.Text) << '\n';
}

void Print(std::ostream& out, const std::string& prefix, const engine::TEmailItem& r) {
  out << prefix << Date(r.FirstSeen) << '\t' << Text(r.Text) << '\n';
}

template <typename List>
DecodeResult Show(const std::string& bytes, const std::string& prefix, std::ostream& out) {
  List list;
  const DecodeResult result = engine::DecodeStateFile(bytes, list);
  for (int i = 0; i < list.Count(); ++i) Print(out, prefix, list[i]);
  return result;
}

bool InspectFile(const std::string& file, Kind kind, bool prefix_lines, std::ostream& out,
                 std::ostream& err) {
  if (kind == Kind::kUnknown) kind = KindFromName(std::filesystem::path(file).filename().string());
  if (kind == Kind::kUnknown) {
    err << file << ": cannot tell which state file this is; name it with --kind\n";
    return false;
  }
  // As the engine reads it: a regular file, no larger than its records can make it (a FIFO or a
  // device never hangs or floods the inspector).
  std::string bytes;
  try {
    if (!platform::ReadRegularFile(file, 4 + engine::kMaxStateRecords * RecordSize(kind), bytes)) {
      err << file << ": cannot read: " << std::strerror(ENOENT) << '\n';
      return false;
    }
  } catch (const std::exception& e) {
    err << file << ": cannot read: " << e.what() << '\n';
    return false;
  }
  const std::string prefix = prefix_lines ? file + "\t" : "";

  DecodeResult result;
  switch (kind) {
    case Kind::kNotify:
      result = Show<engine::TNotifyList>(bytes, prefix, out);
      break;
    case Kind::kTask:
      result = Show<engine::TTaskList>(bytes, prefix, out);
      break;
    case Kind::kFirst: {
      engine::FirstChecks checks{};
      result = engine::DecodeStateFile(bytes, checks);
      if (result.records == 1) {
        out << prefix << Date(checks.morning) << '\t' << Date(checks.evening) << '\n';
      }
      break;
    }
    default:
      result = Show<engine::TEmailList>(bytes, prefix, out);
      break;
  }
  if (!result.marker_ok) {
    if (bytes.size() < 4) {
      err << file << ": byte 0: file of " << bytes.size() << " bytes has no marker\n";
    } else {
      int32_t marker = 0;
      for (int i = 3; i >= 0; --i)
        marker =
            static_cast<int32_t>(static_cast<uint32_t>(marker) << 8 |
                                 static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]));
      err << file << ": byte 0: marker " << marker << ", expected " << engine::kStateFileMarker
          << "; nothing read\n";
    }
    return false;
  }
  if (result.cut) {
    err << file << ": byte " << result.cut_offset << ": record cut short ("
        << bytes.size() - result.cut_offset << " of " << RecordSize(kind)
        << " bytes); the records before it were read\n";
    return false;
  }
  return true;
}

}  // namespace

namespace {

// The engine's waits between passes while the user is away and while the user is here.
constexpr double kAwayWaitSeconds = 15.0, kPresentWaitSeconds = 60.0;

// How the engine tells whether the user is at the computer, and what it would find.
int InspectAway(std::ostream& out, const platform::SessionInfo& session, int watch_ms) {
  auto shown = [](const std::string& v) { return v.empty() ? std::string("(unset)") : v; };
  out << "session: XDG_SESSION_TYPE=" << shown(session.session_type)
      << " WAYLAND_DISPLAY=" << shown(session.wayland_display)
      << " DISPLAY=" << shown(session.x11_display) << '\n';
  if (session.wayland_display.empty() && session.x11_display.empty()) {
    out << "source: none (no desktop: WAYLAND_DISPLAY and DISPLAY are unset)\n"
        << "the engine would find you: away (ravenox runs without windows)\n";
    return 0;
  }
  platform::SessionInput input(session);
  input.Describe();  // the first look; the second tells what came in between
  std::this_thread::sleep_for(std::chrono::milliseconds(watch_ms));
  const platform::SessionInput::Report r = input.Describe();
  out << "source: " << r.source << '\n' << "why: " << r.why << '\n';
  if (!r.tried.empty()) out << "also tried: " << r.tried << '\n';
  char idle[32] = "";
  if (r.idle_seconds) {
    std::snprintf(idle, sizeof idle, "%.1f s", *r.idle_seconds);
    out << "idle: " << idle << " since the last input\n";
  }
  out << "lock: " << r.lock;
  if (r.locked) out << ": " << (*r.locked ? "locked" : "not locked");
  out << '\n';
  // A pass finds the user away only when no input came since the previous pass ended: a wait of
  // 15 s while the user was away, 60 s while here.
  std::string verdict;
  if (r.locked.value_or(false)) {
    verdict = "away (the screen is locked)";
  } else if (r.source == "none") {
    verdict = "at the computer (nothing tells, so nothing is sent)";
  } else if (r.idle_seconds) {
    if (*r.idle_seconds < kAwayWaitSeconds) {
      verdict = std::string("at the computer (input ") + idle + " ago)";
    } else if (*r.idle_seconds < kPresentWaitSeconds) {
      verdict = std::string("away if its last pass found you away (no input for ") + idle +
                "); at the computer if it found you here, until a minute without input";
    } else {
      verdict = std::string("away (no input for ") + idle + ")";
    }
  } else {
    verdict = r.input ? "at the computer (input in the last second)"
                      : "away once no input comes for 15 s (none in the last second)";
  }
  out << "the engine would find you: " << verdict << '\n';
  return 0;
}

}  // namespace

// No arguments, or `option FILE` (which sets `file`); false for anything else.
bool OptionalFile(const std::vector<std::string>& args, const char* option,
                  std::filesystem::path& file) {
  if (args.empty()) return true;
  if (args.size() != 2 || args[0] != option) return false;
  file = args[1];
  return true;
}

// The texts waiting in the outbox, given up, and refused by the phone's address, with why.
int InspectOutbox(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::filesystem::path profile = outlook::localstore::DefaultProfilePath();
  if (!OptionalFile(args, "--profile", profile)) {
    err << kUsage;
    return 2;
  }
  try {
    const auto listed = outlook::outbox::ListOutbox(
        outlook::localstore::SendSettingsOf(outlook::localstore::LoadProfile(profile)));
    for (const auto& e : listed) {
      out << e.state << '\t' << Date(FromUnixLocal(e.when)) << '\t' << Text(e.to) << '\t'
          << Text(e.subject) << '\t' << Text(e.reason) << '\n';
    }
  } catch (const std::exception& e) {
    err << "ravenox-inspect: " << e.what() << '\n';
    return 1;
  }
  return 0;
}

namespace {

// A stored date-time with the time of day it stands for (only that part is used).
std::string TimeOfDay(TDateTime t) {
  // To the millisecond first (9:30 is stored a hair under it), then the minute it falls in.
  const double day = std::fabs(TimeOf(t));
  const int minutes = static_cast<int>(std::llround(day * 86400000.0) / 60000) % 1440;
  char text[64];
  std::snprintf(text, sizeof text, "%.10f (%02d:%02d)", t.Value(), minutes / 60, minutes % 60);
  return text;
}

// A caption without its access-key marks ("&&" is one "&").
std::string Plain(const char* caption) {
  std::string text;
  for (const char* c = caption; *c != '\0'; ++c) {
    if (*c == '&' && *++c == '\0') break;
    text += *c;
  }
  return text;
}

}  // namespace

// The settings as the program reads them, each under its stored name, and the address it texts.
int InspectSettings(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::filesystem::path file = platform::RegistryFile::DefaultPath();
  if (!OptionalFile(args, "--file", file)) {
    err << kUsage;
    return 2;
  }
  platform::RegistrySnapshot store(file);
  TSettings settings;
  ConsoleSettingsWindow window(err);
  try {
    LoadSettings(settings, store, window);
  } catch (const std::exception& e) {
    err << "ravenox-inspect: " << file.string() << ": " << e.what() << '\n';
    return 1;
  }
  out << "file: " << file.string() << '\n';
  if (window.first_run) {
    out << "not configured yet: the configuration wizard has not been finished\n";
    return 2;
  }
  const int service = settings.Service();
  out << "Service: " << service;
  if (service < kCarrierCount) out << " (" << Plain(CarrierCaptions[service]) << ')';
  out << '\n'
      << "Pin: " << Text(settings.Pin()) << '\n'
      << "CustomAddr: " << Text(settings.CustomAddr()) << '\n'
      << "CustomEmail: " << Text(settings.CustomEmail()) << '\n'
      << "EarlyTime: " << TimeOfDay(settings.EarlyTime()) << '\n'
      << "LateTime: " << TimeOfDay(settings.LateTime()) << '\n';
  const std::pair<const char*, bool> switches[] = {
      {"MeetingNotify", settings.MeetingNotify()}, {"MorningNotify", settings.MorningNotify()},
      {"EveningNotify", settings.EveningNotify()}, {"UrgentEmail", settings.UrgentEmail()},
      {"TaskNotify", settings.TaskNotify()},       {"TaskPreNotify", settings.TaskPreNotify()},
      {"TaskReminder", settings.TaskReminder()},
  };
  for (const auto& [name, on] : switches) out << name << ": " << (on ? "on" : "off") << '\n';
  static constexpr const char* kPeriods[] = {"Every Hour", "Twice Per Day", "Daily", "Every Week"};
  const int32_t period = settings.TaskRemindPeriod();
  out << "TaskRemindPeriod: " << period;
  if (period >= 0 && period < 4) out << " (" << kPeriods[period] << ')';
  if (period == -1) out << " (none)";
  std::string address;
  GetPhoneAddress(settings, address);
  out << "\ntexts go to: " << (address.empty() ? "(nobody: no address)" : Text(address)) << '\n';
  return 0;
}

// The desktop's calendars and task lists, one per line: how a profile names it, calendar or
// tasks, its name, its account, and whether the desktop shows it.
static int InspectSources(std::ostream& out, std::ostream& err) {
  std::string why;
  const auto sources = outlook::eds::ListDesktopSources(&why);
  if (sources.empty() && !why.empty()) {
    err << "ravenox-inspect: " << why << '\n';
    return 1;
  }
  for (const auto& s : sources) {
    out << outlook::eds::kScheme << Text(s.uid) << '\t'
        << (s.kind == outlook::eds::SourceKind::kEvents ? "calendar" : "tasks") << '\t'
        << Text(s.name) << '\t' << Text(s.account) << '\t' << (s.shown ? "shown" : "hidden")
        << (s.writable ? "" : ",read-only") << '\n';
  }
  return 0;
}

void LeaveStoreToExit() {
  inspect::leave_store_to_exit = true;
}

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && args[0] == "settings") {
    return InspectSettings(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
  }
  if (!args.empty() && args[0] == "outbox") {
    return InspectOutbox(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
  }
  if (args.size() == 1 && args[0] == "sources") return InspectSources(out, err);
  if (args.size() == 1 && args[0] == "away") {
    return InspectAway(out, platform::SessionInfo::FromEnvironment(), 1000);
  }
  if (!args.empty() && (args[0] == "calendar" || args[0] == "tasks" || args[0] == "inbox")) {
    return InspectStore(args[0], std::vector<std::string>(args.begin() + 1, args.end()), out, err);
  }
  if (args.empty() || args[0] != "state") {
    err << kUsage;
    return 2;
  }
  Kind kind = Kind::kUnknown;
  std::vector<std::string> files;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--kind" && i + 1 < args.size()) {
      kind = KindFromName(args[++i]);
      if (kind == Kind::kUnknown) {
        err << "ravenox-inspect: unknown kind '" << args[i] << "' (notify, task, email or first)\n";
        return 2;
      }
    } else if (args[i] == "--help" || args[i] == "-h") {
      out << kUsage;
      return 0;
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.empty() && kind == Kind::kUnknown) {
    // The engine's own files, wherever it was started from.
    const std::filesystem::path folder = platform::ProgramDataFolder();
    for (const char* name : {engine::kNotifyFileName, engine::kTaskFileName, engine::kEmailFileName,
                             engine::kFirstFileName}) {
      std::error_code ec;
      if (std::filesystem::exists(folder / name, ec)) files.push_back((folder / name).string());
    }
    if (files.empty()) {
      err << "ravenox-inspect: no state files in " << folder.string() << '\n';
      return 1;
    }
  } else if (files.empty()) {
    err << kUsage;
    return 2;
  }
  bool ok = true;
  for (const auto& file : files) ok = InspectFile(file, kind, files.size() > 1, out, err) && ok;
  return ok ? 0 : 1;
}

}  // namespace ravenox::shell
