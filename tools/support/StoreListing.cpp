// `ravenox-inspect calendar|tasks|inbox`: every item of the store's folder, read as the engine
// reads it, and with a moment what the engine's scan makes of each meeting.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "engine/OutlookProcessorUnit.h"
#include "outlook/eds/DesktopCalendars.h"
#include "outlook/localstore/LocalStore.h"
#include "outlook/localstore/Profile.h"
#include "platform/Clock.h"
#include "tools/support/SupportLines.h"

namespace ravenox::shell::inspect {

bool leave_store_to_exit = false;

namespace {

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

}  // namespace

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
      folders = folders || std::filesystem::is_directory(source, ec) ||
                outlook::eds::IsDesktopSource(source.native());
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
  if (leave_store_to_exit) {
    // Still reachable, so not a leak to a checker; the engines and their scratch folders go.
    static auto* const left = new std::vector<std::shared_ptr<const void>>;
    for (StoreReader& reader : readers) {
      left->push_back(std::move(reader.app));
      left->push_back(std::move(reader.folder));
    }
  }
  return ok ? 0 : 1;
}

}  // namespace ravenox::shell::inspect
