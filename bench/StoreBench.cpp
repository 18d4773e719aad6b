// Figures for the local store, each mode in a process of its own so memory figures stay apart.
//   store_bench gen DIR             writes events-{1k,10k,100k}.ics and Maildirs mail-{1k,50k}
//   store_bench libical FILE        libical parses the whole file: seconds, resident MB
//   store_bench engine FILE         the engine's calendar scan on the store: first pass, later
//                                   pass, full sweep, resident MB after it
//   store_bench inbox DIR           first and unchanged inbox passes, message files opened
//   store_bench realistic DIR N     writes a realistic calendar of N events as DIR/real-N.ics and
//                                   as a vdir DIR/real-N/ (the vdir only up to 100k events)
//   store_bench added PATH          the engine running on a calendar (file or vdir): passes until
//                                   a meeting added for ten minutes ahead is read, the median
//                                   pass and the items it examines, peak and resident memory (MB),
//                                   seconds until the added meeting was read
//   store_bench desktop-fill UID N  saves N realistic events in the desktop's calendar UID (run
//                                   on a bus with the calendar service)
//   store_bench added eds:UID       as "added", on that calendar, the meeting saved through the
//                                   service while the engine waits
#include <libecal/libecal.h>
#include <libical/ical.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Generate.h"
#include "engine/OutlookProcessorUnit.h"
#include "outlook/eds/DesktopCalendars.h"
#include "outlook/localstore/LocalStore.h"
#include "outlook/localstore/Maildir.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double ResidentMb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

void WriteCalendar(const std::filesystem::path& file, int events) {
  std::ofstream out(file, std::ios::binary);
  out << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n"
         "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\n"
         "TZOFFSETTO:+0200\r\nDTSTART:19700329T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\n"
         "END:DAYLIGHT\r\nBEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
         "DTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
         "END:VTIMEZONE\r\n";
  for (int i = 0; i < events; ++i) {
    // Ten years of meetings, a few a day, one in five recurring.
    const int day = i % 3650;
    const int y = 2017 + day / 365, m = 1 + (day % 365) / 31 % 12, d = 1 + day % 28;
    char start[32];
    std::snprintf(start, sizeof start, "%04d%02d%02dT%02d%02d00", y, m, d, 8 + i % 9, (i % 4) * 15);
    out << "BEGIN:VEVENT\r\nUID:bench-" << i << "@example.org\r\nDTSTAMP:20200101T000000Z\r\n"
        << "DTSTART;TZID=Europe/Berlin:" << start << "\r\nDTEND;TZID=Europe/Berlin:" << start
        << "\r\nSUMMARY:Meeting number " << i << " about the quarterly plan\r\n"
        << "LOCATION:Room " << i % 40 << "\r\n"
        << "DESCRIPTION:Agenda: review of last week\\, open points\\, next steps for item " << i
        << ".\\nPlease bring the figures.\r\n";
    if (i % 5 == 0) out << "RRULE:FREQ=WEEKLY;BYDAY=MO,WE;UNTIL=20301231T000000Z\r\n";
    out << "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nDESCRIPTION:Reminder\r\n"
           "END:VALARM\r\nEND:VEVENT\r\n";
  }
  out << "END:VCALENDAR\r\n";
}

void WriteMaildir(const std::filesystem::path& dir, int messages) {
  for (const char* sub : {"tmp", "new", "cur"}) std::filesystem::create_directories(dir / sub);
  for (int i = 0; i < messages; ++i) {
    std::ofstream out(dir / (i % 10 == 0 ? "new" : "cur") /
                      (std::to_string(1600000000 + i) + ".bench" + (i % 10 == 0 ? "" : ":2,S")));
    out << "Received: from mx by host; Tue, 8 Dec 2026 10:00:00 +0000\n"
        << "From: =?UTF-8?B?TcO8bGxlcg==?= <sender" << i << "@example.org>\n"
        << "Subject: Status report " << i << "\n"
        << (i % 50 == 0 ? "Importance: high\n" : "") << "Date: Tue, 8 Dec 2026 09:59:00 +0000\n"
        << "Content-Type: text/plain\n\n"
        << std::string(2000, 'x') << "\n";
  }
}

// The engine's calendar scan on the local store at `calendar`, on a clock standing at 2024-06-03
// 08:00, its files in a scratch folder removed at the end.
struct BenchEngine {
  explicit BenchEngine(const std::filesystem::path& calendar) {
    profile.calendars = {calendar};
    env.clock = clock;
    env.start_thread = false;
    char scratch[] = "/tmp/ravenox-bench-XXXXXX";
    env.working_dir = mkdtemp(scratch);
    env.open_event = [](const std::string&, std::string&) {
      return std::make_unique<ravenox::platform::LocalEvent>();
    };
    env.connector = [this] {
      return outlook::localstore::OpenLocalStore(
          profile, [c = clock] { return c->Now(); }, outlook::localstore::FolderScope::kNow,
          [this] { changed.Set(); });
    };
    engine = std::make_unique<ravenox::engine::TOutlookProcessor>(host, env);
  }
  ~BenchEngine() {
    engine.reset();
    std::filesystem::remove_all(env.working_dir);
  }
  outlook::localstore::StoreProfile profile;
  ravenox::engine::QuietHost host;
  std::shared_ptr<ravenox::platform::FixedClock> clock =
      std::make_shared<ravenox::platform::FixedClock>(ravenox::EncodeDateTime(2024, 6, 3, 8, 0));
  ravenox::engine::ProcessorEnvironment env;
  std::unique_ptr<ravenox::engine::TOutlookProcessor> engine;
  ravenox::platform::LocalEvent changed;  // set when the desktop's calendar tells of a change
};

// A client of the desktop's calendar `uid`, as a calendar program is one; null when it cannot be.
ECalClient* DesktopClient(const std::string& uid) {
  GError* error = nullptr;
  ESourceRegistry* registry = e_source_registry_new_sync(nullptr, &error);
  ESource* source =
      registry != nullptr ? e_source_registry_ref_source(registry, uid.c_str()) : nullptr;
  EClient* client = source != nullptr
                        ? e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
                                                    static_cast<guint32>(-1), nullptr, &error)
                        : nullptr;
  if (client == nullptr)
    std::fprintf(stderr, "store_bench: %s: %s\n", uid.c_str(),
                 error != nullptr ? error->message : "no such calendar");
  g_clear_error(&error);
  if (source != nullptr) g_object_unref(source);
  if (registry != nullptr) g_object_unref(registry);
  return client != nullptr ? E_CAL_CLIENT(client) : nullptr;
}

bool SaveEvents(ECalClient* client, const std::vector<std::string>& events) {
  GSList* components = nullptr;
  for (const auto& e : events)
    components = g_slist_prepend(components, i_cal_component_new_from_string(e.c_str()));
  GError* error = nullptr;
  const bool saved = e_cal_client_create_objects_sync(client, components, E_CAL_OPERATION_FLAG_NONE,
                                                      nullptr, nullptr, &error);
  if (!saved) std::fprintf(stderr, "store_bench: %s\n", error != nullptr ? error->message : "?");
  g_clear_error(&error);
  g_slist_free_full(components, g_object_unref);
  return saved;
}

int DesktopFill(const char* uid, int events) {
  ECalClient* client = DesktopClient(uid);
  if (client == nullptr) return 1;
  std::vector<std::string> batch;
  for (int i = 0; i < events; ++i) {
    batch.push_back(bench::RealisticEvent(i));
    if (batch.size() == 500 || i + 1 == events) {
      if (!SaveEvents(client, batch)) return 1;
      batch.clear();
    }
  }
  g_object_unref(client);
  return 0;
}

int Libical(const char* file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  const std::string text = s.str();
  const double before = ResidentMb();
  const auto start = Clock::now();
  icalcomponent* c = icalparser_parse_string(text.c_str());
  const double seconds = Seconds(start);
  const double mb = ResidentMb() - before;
  std::printf("%.4f %.1f\n", seconds, mb);
  icalcomponent_free(c);
  return 0;
}

int Engine(const char* file) {
  const double base_mb = ResidentMb();
  BenchEngine bench(file);
  auto& engine = bench.engine;

  auto start = Clock::now();
  engine->CheckAppointments();
  const double first = Seconds(start);
  start = Clock::now();
  engine->CheckAppointments();
  const double later = Seconds(start);
  while (engine->AppointmentCursor != 1) engine->CheckAppointments();
  const double mb = ResidentMb() - base_mb;
  std::printf("%.4f %.5f %.1f\n", first, later, mb);
  return 0;
}

double StatusMb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0)
      return std::strtod(line.c_str() + std::strlen(field), nullptr) / 1024.0;
  }
  return 0.0;
}

// The engine on the calendar at `path` on a clock the bench moves: passes until a meeting added
// for ten minutes ahead is read; the median of 20 later passes; peak memory (during the first
// index and sweep) and what stays resident after it.
int Added(const char* path) {
  const std::filesystem::path source = path;
  BenchEngine bench(source);
  auto& engine = bench.engine;
  engine->DebugEnabled = false;
  // The first index and a whole sweep of what the engine is given. The desktop's calendar may
  // take longer to tell all it holds than the engine waits for it at first: the sweep begins
  // once it has.
  engine->CheckAppointments();
  if (outlook::eds::IsDesktopSource(source.native())) {
    for (int i = 0; i < 600 && engine->CalendarFolder->Items()->Count() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      engine->CheckAppointments();
    }
  }
  while (engine->AppointmentCursor != 1) engine->CheckAppointments();
  const double peak = StatusMb("VmHWM:"), resident = StatusMb("VmRSS:");
  const int view = engine->CalendarFolder->Items()->Count();
  std::vector<double> passes;
  for (int i = 0; i < 21; ++i) {
    const auto start = Clock::now();
    engine->CheckAppointments();
    passes.push_back(Seconds(start));
  }
  std::sort(passes.begin(), passes.end());
  // Added as a calendar program adds it: to the file, or as a file of the vdir.
  const std::string added = std::string(
      "BEGIN:VEVENT\r\nUID:added@example.org\r\nSUMMARY:Added today\r\n"
      "DTSTART:20240603T081000\r\nEND:VEVENT\r\n");  // floating: the user's own time
  const bool vdir = std::filesystem::is_directory(source);
  const bool desktop = outlook::eds::IsDesktopSource(source.native());
  std::string original;
  ECalClient* client = nullptr;
  if (desktop) {
    // Saved as a calendar program saves it; the engine's wait ends when the service tells.
    client = DesktopClient(source.native().substr(outlook::eds::kScheme.size()));
    if (client == nullptr || !SaveEvents(client, {added})) return 1;
    bench.changed.Wait(std::chrono::seconds(30));
  } else if (vdir) {
    std::ofstream(source / "added.ics", std::ios::binary)
        << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n"
        << bench::kZoneBlocks << added << "END:VCALENDAR\r\n";
  } else {
    std::ifstream in(source, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    original = text.str();
    std::string all = original;
    all.insert(all.rfind("END:VCALENDAR"), added);
    const auto temporary = source.string() + ".new";
    std::ofstream(temporary, std::ios::binary) << all;
    std::filesystem::rename(temporary, source);
  }
  int needed = 0;
  const auto began = Clock::now();
  while (needed < 1000) {
    ++needed;
    engine->CheckAppointments();
    bool found = false;
    for (int i = 0; i < engine->NotifyList.Count(); ++i)
      found = found || engine->NotifyList[i].Text.find("Added today") != std::string::npos;
    if (found) break;
  }
  const double until_read = Seconds(began);
  // A pass examines up to 150 items of what the engine is given.
  std::printf("%d %.5f %d %.1f %.1f %.3f\n", needed, passes[passes.size() / 2], std::min(view, 150),
              peak, resident, until_read);
  // The calendar as it was, for the next run.
  if (desktop) {
    GError* error = nullptr;
    e_cal_client_remove_object_sync(client, "added@example.org", nullptr, E_CAL_OBJ_MOD_ALL,
                                    E_CAL_OPERATION_FLAG_NONE, nullptr, &error);
    g_clear_error(&error);
    g_object_unref(client);
  } else if (vdir) {
    std::filesystem::remove(source / "added.ics");
  } else {
    std::ofstream(source, std::ios::binary | std::ios::trunc) << original;
  }
  return 0;
}

int Inbox(const char* dir) {
  outlook::localstore::MaildirInbox inbox(dir);
  auto start = Clock::now();
  inbox.Refresh();
  const double first = Seconds(start);
  const std::size_t opened = inbox.Opened();
  start = Clock::now();
  inbox.Refresh();
  for (std::size_t i = 0; i < inbox.Count(); ++i) (void)inbox.Message(i).unread;
  const double again = Seconds(start);
  std::printf("%.4f %zu %.5f %zu\n", first, opened, again, inbox.Opened() - opened);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: store_bench gen|libical|engine|inbox|added PATH, realistic DIR N\n");
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "gen") {
    const std::filesystem::path dir = argv[2];
    std::filesystem::create_directories(dir);
    WriteCalendar(dir / "events-1k.ics", 1000);
    WriteCalendar(dir / "events-10k.ics", 10000);
    WriteCalendar(dir / "events-100k.ics", 100000);
    WriteMaildir(dir / "mail-1k", 1000);
    WriteMaildir(dir / "mail-50k", 50000);
    return 0;
  }
  if (mode == "realistic" && argc >= 4) {
    std::filesystem::create_directories(argv[2]);
    bench::WriteCalendars(argv[2], "real-" + std::string(argv[3]), std::atoi(argv[3]));
    return 0;
  }
  if (mode == "added") return Added(argv[2]);
  if (mode == "desktop-fill" && argc >= 4) return DesktopFill(argv[2], std::atoi(argv[3]));
  if (mode == "libical") return Libical(argv[2]);
  if (mode == "engine") return Engine(argv[2]);
  if (mode == "inbox") return Inbox(argv[2]);
  return 2;
}
