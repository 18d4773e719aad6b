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
#include "outlook/localstore/LocalStore.h"
#include "outlook/localstore/Profile.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/RegistryFile.h"
#include "platform/SessionInput.h"
#include "settings/Carriers.h"
#include "settings/SettingsStore.h"

namespace ravenox::shell {
namespace {

using engine::DecodeResult;

constexpr const char* kUsage =
    "usage: ravenox-inspect state [--kind notify|task|email|first] [FILE...]\n"
    "       ravenox-inspect calendar|tasks|inbox [--profile FILE] [--at \"YYYY-MM-DD HH:MM\"]\n"
    "       ravenox-inspect away\n"
    "       ravenox-inspect outbox [--profile FILE]\n"
    "       ravenox-inspect settings [--file FILE]\n"
    "Prints the records of NOTIFY.CLD, TASK.CLD, EMAIL.CLD or FIRST.CLD (without FILE: those of\n"
    "the program's data folder), one line per record in list order,\n"
    "or what the engine sees of the calendar, the tasks or the inbox, one line per item, or how\n"
    "it tells whether you are at the computer and what it finds now, or the settings as the\n"
    "program reads them and the address it texts.\n";

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

std::string Date(TDateTime t) {
  const double v = t.Value();
  char buf[64];
  if (v == 0.0) return "0";
  if (!std::isfinite(v) || v < -693593.0 || v > 2958465.0) {  // outside years 1..9999
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
  }
  const DateParts p = DecodeDateTime(t);
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                p.minute, p.second);
  return buf;
}

const char* Bool(bool b) {
  return b ? "1" : "0";
}

// Texts come from other people's meetings and mails: control characters are shown escaped, so a
// record is always exactly one line.
std::string Text(const std::string& s) {
  std::string out;
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out.push_back(c);
    }
  }
  return out;
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

// --- What the engine sees of the store ------------------------------------------------------

// The engine's host when nobody is watching: the settings it needs for an occurrence are none.

bool ParseAt(const std::string& text, TDateTime& at) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char tail = 0;
  const int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail);
  if (n < 5 || n == 7 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h < 0 || h > 23 ||
      mi < 0 || mi > 59 || s < 0 || s > 59)
    return false;
  at = EncodeDateTime(y, mo, d, h, mi, s);
  return true;
}

// One reader of the store and, with a moment, the engine that judges each meeting at it.
struct StoreReader {
  std::shared_ptr<outlook::Application> app;
  std::shared_ptr<outlook::MAPIFolder> folder;
  std::unique_ptr<engine::TOutlookProcessor> engine;
  engine::QuietHost host;
  std::filesystem::path scratch;
  int count = 0;

  ~StoreReader() {
    engine.reset();
    if (!scratch.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(scratch, ec);
    }
  }
  // Opens the profile's folder of kind `what` and counts it; throws what the store says.
  void Open(const std::filesystem::path& profile, const std::string& what) {
    const int folder_number = what == "calendar" ? outlook::olFolderCalendar
                              : what == "tasks"  ? outlook::olFolderTasks
                                                 : outlook::olFolderInbox;
    // Every item, not only those of the engine's view.
    app = outlook::localstore::MakeLocalStoreConnector(profile, {},
                                                       outlook::localstore::FolderScope::kWhole)();
    folder = app->GetNamespace("MAPI")->GetDefaultFolder(folder_number);
    count = folder->Items()->Count();
  }
  // The engine itself answers when each recurring meeting next occurs.
  void StartEngine(TDateTime at) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ravenox-inspect-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) scratch = pattern;
    engine::ProcessorEnvironment env;
    env.clock = std::make_shared<platform::FixedClock>(at);
    env.start_thread = false;
    env.working_dir = scratch;
    env.open_event = [](const std::string&, std::string&) {
      return std::make_unique<platform::LocalEvent>();
    };
    engine = std::make_unique<engine::TOutlookProcessor>(host, env);
  }
  // The lines of the items at positions [first, last]; false when one could not be read.
  bool Render(const std::string& what, TDateTime at, int first, int last, std::ostream& out) {
    bool ok = true;
    for (int position = first; position <= last; ++position) {
      try {
        const auto item = folder->Items()->Item(position);
        if (item == nullptr) continue;
        const std::string problem = outlook::localstore::ItemError(*item);
        if (!problem.empty()) {
          out << position << "\t\t\t\t# " << Text(problem) << '\n';
          ok = false;
          continue;
        }
        if (what == "calendar") {
          const auto a = outlook::As<outlook::AppointmentItem>(item);
          out << position << '\t' << Text(a->Subject()) << '\t' << Date(a->Start()) << '\t'
              << Bool(a->IsRecurring());
          std::shared_ptr<outlook::RecurrencePattern> p;
          if (a->IsRecurring()) {
            p = a->GetRecurrencePattern();
            out << '\t' << p->RecurrenceType() << '\t' << p->Interval() << '\t'
                << p->DayOfWeekMask() << '\t' << p->DayOfMonth() << '\t' << p->MonthOfYear() << '\t'
                << p->Occurrences() << '\t' << Date(p->PatternStartDate()) << '\t'
                << Date(p->PatternEndDate()) << '\t' << Bool(p->NoEndDate()) << '\t'
                << Date(p->StartTime());
          } else {
            out << "\t\t\t\t\t\t\t\t\t\t";
          }
          out << '\t' << a->ReminderMinutesBeforeStart();
          if (engine != nullptr) {
            // Whether the engine's view of the calendar holds it at that moment.
            out << '\t' << Bool(outlook::localstore::InView(*item, at));
            // What the scan makes of it: the occurrence it finds, and any moved here.
            const auto outcomes = engine->ReadMeeting(*a, at, at);
            for (std::size_t i = 0; i < outcomes.size(); ++i) {
              const engine::MeetingOutcome& m = outcomes[i];
              if (i > 0) out << '\n' << position << std::string(16, '\t');
              const bool found = m.start != TDateTime(0.0);
              out << '\t' << (found ? Date(m.start) : "0") << '\t' << (found ? Date(m.notify) : "0")
                  << '\t' << (m.skipped == nullptr ? "taken" : "skipped");
              if (m.skipped != nullptr && std::string_view(m.skipped) != "no expansion") {
                out << "\t# " << m.skipped;
                if (!m.detail.empty()) out << ": " << Text(m.detail);
              }
              if (i > 0) out << (m.skipped == nullptr ? "\t# " : "; ") << "moved from another day";
            }
          }
          if (const char* why = outlook::localstore::NoExpansionReason(*item)) {
            out << "\t# no expansion: " << why;
          }
          out << '\n';
        } else if (what == "tasks") {
          const auto t = outlook::As<outlook::TaskItem>(item);
          out << position << '\t' << Text(t->Subject()) << '\t' << Date(t->StartDate()) << '\t'
              << Date(t->DueDate()) << '\t' << Bool(t->ReminderSet()) << '\t'
              << (t->ReminderSet() ? Date(t->ReminderTime()) : "0") << '\t' << Bool(t->Complete())
              << '\t' << Bool(t->IsRecurring()) << '\n';
        } else {
          const auto m = outlook::As<outlook::MailItem>(item);
          out << position << '\t' << Bool(m->UnRead()) << '\t' << m->Importance() << '\t'
              << Date(m->ReceivedTime()) << '\t' << Text(m->Subject()) << '\t'
              << Text(m->SenderName()) << '\n';
        }
      } catch (const std::exception& e) {
        out << position << "\t\t\t\t# " << Text(e.what()) << '\n';
        ok = false;
      }
    }
    return ok;
  }
};

int InspectStore(const std::string& what, const std::vector<std::string>& args, std::ostream& out,
                 std::ostream& err) {
  std::filesystem::path profile = outlook::localstore::DefaultProfilePath();
  bool have_at = false;
  TDateTime at;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--profile" && i + 1 < args.size()) {
      profile = args[++i];
    } else if (args[i] == "--at" && i + 1 < args.size()) {
      if (!ParseAt(args[++i], at)) {
        err << "ravenox-inspect: --at wants a local time as \"YYYY-MM-DD HH:MM\", not '" << args[i]
            << "'\n";
        return 2;
      }
      have_at = true;
    } else {
      err << kUsage;
      return 2;
    }
  }

  // A large calendar or task list is read in parts side by side, each by its own reader of the
  // same files, opened side by side too; the lines come out in the order of the items.
  const int threads =
      what == "inbox" ? 1 : std::clamp<int>(std::thread::hardware_concurrency(), 1, 4);
  std::vector<StoreReader> readers(static_cast<std::size_t>(threads));
  std::vector<std::string> problems(static_cast<std::size_t>(threads));
  auto open = [&](int t) {
    try {
      readers[static_cast<std::size_t>(t)].Open(profile, what);
    } catch (const std::exception& e) {
      problems[static_cast<std::size_t>(t)] = e.what();
      if (problems[static_cast<std::size_t>(t)].empty())
        problems[static_cast<std::size_t>(t)] = "?";
    }
  };
  // A store of many files (a vdir) is opened once and read by all: its files are indexed side
  // by side already, and each reader reads files of its own.
  bool folders = false;
  try {
    const auto p = outlook::localstore::LoadProfile(profile, /*create_default=*/false);
    std::error_code ec;
    for (const auto& source : what == "calendar" ? p.calendars : p.tasks)
      folders = folders || std::filesystem::is_directory(source, ec);
  } catch (const std::exception&) {
    // Opening says what is wrong with it.
  }
  if (folders) {
    open(0);
    for (int t = 1; t < threads; ++t) {
      auto& reader = readers[static_cast<std::size_t>(t)];
      reader.app = readers[0].app;
      reader.folder = readers[0].folder;
      reader.count = readers[0].count;
      problems[static_cast<std::size_t>(t)] = problems[0];
    }
  } else {
    std::vector<std::jthread> openers;
    for (int t = 1; t < threads; ++t) openers.emplace_back(open, t);
    open(0);
  }
  if (!problems[0].empty()) {
    err << "ravenox-inspect: " << problems[0] << '\n';
    return 1;
  }
  const int count = readers[0].count;
  const bool judge = have_at && what == "calendar";
  constexpr int kItemsPerPart = 2000;
  const int parts = std::clamp<int>(count / kItemsPerPart, 1, threads);
  std::vector<std::ostringstream> texts(static_cast<std::size_t>(parts));
  std::vector<char> fine(static_cast<std::size_t>(parts), 1);
  auto render = [&](int part) {
    const auto i = static_cast<std::size_t>(part);
    const int from = count * part / parts + 1, to = count * (part + 1) / parts;
    std::ostream& text = parts == 1 ? out : texts[i];
    if (!problems[i].empty()) {
      for (int position = from; position <= to; ++position)
        text << position << "\t\t\t\t# " << Text(problems[i]) << '\n';
      fine[i] = 0;
      return;
    }
    if (judge) readers[i].StartEngine(at);
    fine[i] = readers[i].Render(what, at, from, to, text);
  };
  {
    std::vector<std::jthread> helpers;
    for (int part = 1; part < parts; ++part) helpers.emplace_back(render, part);
    render(0);
  }
  bool ok = true;
  for (int part = 0; part < parts; ++part) {
    if (parts > 1) out << texts[static_cast<std::size_t>(part)].str();
    ok = ok && fine[static_cast<std::size_t>(part)] != 0;
  }
  return ok ? 0 : 1;
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
    const auto listed = outlook::localstore::ListOutbox(
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

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && args[0] == "settings") {
    return InspectSettings(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
  }
  if (!args.empty() && args[0] == "outbox") {
    return InspectOutbox(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
  }
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
