// Figures for the local store, each mode in a process of its own so memory figures stay apart.
//   store_bench gen DIR             writes events-{1k,10k,100k}.ics and Maildirs mail-{1k,50k}
//   store_bench libical FILE        libical parses the whole file: seconds, resident MB
//   store_bench engine FILE         the engine's calendar scan on the store: first pass, later
//                                   pass, full sweep, resident MB after it
//   store_bench inbox DIR           first and unchanged inbox passes, message files opened
#include <libical/ical.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/OutlookProcessorUnit.h"
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
  outlook::localstore::StoreProfile profile;
  profile.calendars = {file};
  ravenox::engine::QuietHost host;
  ravenox::engine::ProcessorEnvironment env;
  env.clock =
      std::make_shared<ravenox::platform::FixedClock>(ravenox::EncodeDateTime(2024, 6, 3, 8, 0));
  env.start_thread = false;
  char scratch[] = "/tmp/ravenox-bench-XXXXXX";
  env.working_dir = mkdtemp(scratch);
  env.open_event = [](const std::string&, std::string&) {
    return std::make_unique<ravenox::platform::LocalEvent>();
  };
  env.connector = [&] {
    return outlook::localstore::OpenLocalStore(profile, [c = env.clock] { return c->Now(); });
  };
  auto engine = std::make_unique<ravenox::engine::TOutlookProcessor>(host, env);

  auto start = Clock::now();
  engine->CheckAppointments();
  const double first = Seconds(start);
  start = Clock::now();
  engine->CheckAppointments();
  const double later = Seconds(start);
  while (engine->AppointmentCursor != 1) engine->CheckAppointments();
  const double mb = ResidentMb() - base_mb;
  std::printf("%.4f %.5f %.1f\n", first, later, mb);
  engine.reset();
  std::filesystem::remove_all(env.working_dir);
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
    std::fprintf(stderr, "usage: store_bench gen|libical|engine|inbox PATH\n");
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
  if (mode == "libical") return Libical(argv[2]);
  if (mode == "engine") return Engine(argv[2]);
  if (mode == "inbox") return Inbox(argv[2]);
  return 2;
}
