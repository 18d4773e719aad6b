// The desktop's calendars through the real service (Evolution Data Server on a private bus, a
// CalDAV calendar on Radicale): listed for the wizard, read live by the store, texted by the
// engine at their reminders.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <set>

#include "DesktopService.h"
#include "SeriesGenerator.h"
#include "base/Formats.h"
#include "outlook/eds/DesktopCalendars.h"
#include "outlook/localstore/LocalStore.h"
#include "outlook/localstore/Profile.h"
#include "platform/WakeEvent.h"
#include "shell/LocalStoreEngine.h"
#include "tools/support/SupportTool.h"

#if defined(__SANITIZE_ADDRESS__)
// The service's libraries are built without frame pointers: their allocations are traced the slow
// way, so that the suppressions can name where they come from.
extern "C" const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}
#endif

namespace outlook::localstore {
namespace {

using ravenox::EncodeDate;
using ravenox::EncodeDateTime;
using ravenox::kOneMinute;
using ravenox::TDateTime;
using ravenox::testing::CalendarClient;
using ravenox::testing::DesktopService;

[[maybe_unused]] auto* const service = ::testing::AddGlobalTestEnvironment(new DesktopService);

std::string Event(const std::string& uid, const std::string& props, int lead = -1) {
  return "BEGIN:VEVENT\r\nUID:" + uid + "\r\nDTSTAMP:20270101T000000Z\r\n" + props +
         (lead < 0 ? ""
                   : "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT" + std::to_string(lead) +
                         "M\r\nEND:VALARM\r\n") +
         "END:VEVENT\r\n";
}
std::string Calendar(const std::string& items) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + items + "END:VCALENDAR\r\n";
}

// Waits, in real time, until `done` holds (at most 20 seconds).
template <typename F>
bool Eventually(F done) {
  for (int i = 0; i < 400; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// Counts the times the store says a change matters now.
struct Wakes {
  std::mutex mutex;
  std::condition_variable cond;
  int count = 0;
  StoreChanged Hook() {
    return [this] {
      std::lock_guard lock(mutex);
      ++count;
      cond.notify_all();
    };
  }
  bool WaitFor(int n) {
    std::unique_lock lock(mutex);
    return cond.wait_for(lock, std::chrono::seconds(20), [&] { return count >= n; });
  }
  int Count() {
    std::lock_guard lock(mutex);
    return count;
  }
};

int Count(Application& store, int folder) {
  return store.GetNamespace("MAPI")->GetDefaultFolder(folder)->Items()->Count();
}

TEST(DesktopCalendars, ListsTheCalendarsAndTaskListsByNameAndAccount) {
  std::string why;
  const auto sources = eds::ListDesktopSources(&why);
  ASSERT_FALSE(sources.empty()) << why;
  std::map<std::string, eds::DesktopSource> by_uid;
  for (const auto& s : sources) by_uid[s.uid] = s;
  struct Row {
    const char* uid;
    const char* name;
    const char* account;
    eds::SourceKind kind;
    bool shown, writable;
  } const rows[] = {
      {"work", "Work", "On This Computer", eds::SourceKind::kEvents, true, true},
      {"hidden", "Old plans", "On This Computer", eds::SourceKind::kEvents, false, true},
      {"team", "Team", "", eds::SourceKind::kEvents, true, true},
      {"system-calendar", "Personal", "On This Computer", eds::SourceKind::kEvents, true, true},
      {"birthdays", "Birthdays & Anniversaries", "Contacts", eds::SourceKind::kEvents, true, false},
      {"chores", "Chores", "On This Computer", eds::SourceKind::kTasks, true, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.uid);
    ASSERT_TRUE(by_uid.contains(r.uid));
    const auto& s = by_uid[r.uid];
    EXPECT_EQ(s.name, r.name);
    EXPECT_EQ(s.account, r.account);
    EXPECT_EQ(s.kind, r.kind);
    EXPECT_EQ(s.shown, r.shown);
    EXPECT_EQ(s.writable, r.writable);
  }
  // The calendars first, then the task lists.
  EXPECT_TRUE(std::is_partitioned(sources.begin(), sources.end(), [](const auto& s) {
    return s.kind == eds::SourceKind::kEvents;
  }));
}

// The inspector lists the sources as a profile names them, reads one named so, and says why it
// cannot list them where there is no service (a bus that is not there).
TEST(DesktopCalendars, TheInspectorListsAndReadsTheDesktopsCalendars) {
  std::ostringstream out, err;
  ASSERT_EQ(ravenox::shell::RunInspect({"sources"}, out, err), 0) << err.str();
  EXPECT_NE(out.str().find("eds:work\tcalendar\tWork\tOn This Computer\tshown\n"),
            std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("eds:birthdays\tcalendar\tBirthdays & Anniversaries\tContacts\tshown,"
                           "read-only\n"),
            std::string::npos);

  CalendarClient work("work");
  ASSERT_TRUE(work.Ready()) << work.Why();
  ASSERT_EQ(work.Create(Event("lunch", "SUMMARY:Lunch\r\nDTSTART:20270401T120000Z\r\n")), "");
  ravenox::testing::TempDir dir;
  std::ofstream(dir.path() / "store.conf") << "[Store]\ncalendars=eds:work\n";
  out.str("");
  ASSERT_EQ(ravenox::shell::RunInspect(
                {"calendar", "--profile", (dir.path() / "store.conf").string()}, out, err),
            0)
      << err.str();
  EXPECT_NE(out.str().find("Lunch"), std::string::npos) << out.str();

  // Without the service: said, and soon.
  std::vector<std::string> kept = {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).substr(0, 25) != "DBUS_SESSION_BUS_ADDRESS=") kept.emplace_back(*e);
  }
  std::vector<char*> env;
  for (auto& e : kept) env.push_back(e.data());
  env.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execle(RAVENOX_INSPECT, RAVENOX_INSPECT, "sources", nullptr, env.data());
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// Meetings saved through the service (a series with a moved occurrence, a cancelled one, one the
// user declined) and one put on the CalDAV server are texted at their reminders, once each, beside
// those of a file; one saved while the engine waits ends the wait and is texted too.
TEST(DesktopCalendars, TheEngineTextsWhatTheServiceHoldsAtTheReminders) {
  setenv("TZ", "UTC", 1);
  tzset();
  CalendarClient work("work"), team("team");
  ASSERT_TRUE(work.Ready() && team.Ready()) << work.Why() << team.Why();
  ASSERT_EQ(work.Create(Event("standup",
                              "SUMMARY:Standup\r\nDTSTART;TZID=Europe/London:20270301T093000\r\n"
                              "RRULE:FREQ=DAILY\r\n",
                              15)),
            "");
  ASSERT_EQ(work.Modify(Event("standup",
                              "RECURRENCE-ID;TZID=Europe/London:20270310T093000\r\n"
                              "SUMMARY:Standup\r\nDTSTART;TZID=Europe/London:20270310T101500\r\n",
                              15)),
            "");
  ASSERT_EQ(work.Create(Event("review", "SUMMARY:Review\r\nDTSTART:20270310T110000Z\r\n", 5)), "");
  ASSERT_EQ(work.Create(Event("off",
                              "SUMMARY:Off\r\nSTATUS:CANCELLED\r\n"
                              "DTSTART:20270310T113000Z\r\n")),
            "");
  ASSERT_EQ(work.Create(Event("no",
                              "SUMMARY:Declined\r\nDTSTART:20270310T103000Z\r\n"
                              "ATTENDEE;PARTSTAT=ACCEPTED:mailto:boss@example.org\r\n"
                              "ATTENDEE;PARTSTAT=DECLINED;CN=Me:mailto:me@example.org\r\n",
                              5)),
            "");
  ASSERT_EQ(
      DesktopService::Get()->Put(
          "sync", Calendar(Event("sync", "SUMMARY:Team sync\r\nDTSTART:20270310T120000Z\r\n"))),
      201);
  ASSERT_EQ(team.Refresh(), "");
  ASSERT_TRUE(Eventually([&] { return !team.Get("sync").empty(); }));

  // The desktop's calendars beside a file.
  ravenox::testing::TempDir dir;
  std::ofstream(dir.path() / "mine.ics")
      << Calendar(Event("dentist", "SUMMARY:Dentist\r\nDTSTART:20270310T130000Z\r\n", 10));
  StoreProfile profile;
  profile.calendars = {"eds:work", "eds:team", dir.path() / "mine.ics"};
  profile.from = "Me <me@example.org>";
  ravenox::testing::EngineRig rig;
  Wakes wakes;
  rig.env.connector = [&] {
    return std::make_shared<ravenox::testing::StoreWithFakeMail>(
        OpenLocalStore(profile, rig.Now(), FolderScope::kNow, wakes.Hook()), rig.outlook);
  };
  std::vector<TDateTime> when;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send") when.push_back(rig.clock->Now());
  });
  rig.host.meeting = true;
  rig.host.early = 6.0 / 24;
  rig.host.late = 22.0 / 24;
  const TDateTime t0 = EncodeDateTime(2027, 3, 10, 9, 0);
  rig.clock->Set(t0);
  auto p = rig.Make();
  p->DebugEnabled = false;
  bool added = false, woken = false;
  rig.event->on_wait = [&](int) {
    if (!added && rig.clock->Now() >= t0 + 5 * kOneMinute) {
      added = true;
      ASSERT_EQ(work.Create(Event("added", "SUMMARY:Added\r\nDTSTART:20270310T104000Z\r\n", 15)),
                "");
      woken = wakes.WaitFor(1);
    }
    rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
    if (rig.clock->Now() >= t0 + 4.0 / 24) p->Stop();
  };
  p->Execute();
  EXPECT_TRUE(woken);

  const std::pair<const char*, TDateTime> expected[] = {
      {"Standup", EncodeDateTime(2027, 3, 10, 10, 0)},
      {"Added", EncodeDateTime(2027, 3, 10, 10, 25)},
      {"Review", EncodeDateTime(2027, 3, 10, 10, 55)},
      {"Team sync", EncodeDateTime(2027, 3, 10, 11, 45)},
      {"Dentist", EncodeDateTime(2027, 3, 10, 12, 50)},
  };
  const auto sent = rig.outlook->Sent();
  std::vector<std::string> subjects;
  for (const auto& m : sent) subjects.push_back(m.subject);
  ASSERT_EQ(sent.size(), std::size(expected)) << ::testing::PrintToString(subjects);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_NE(sent[i].subject.find(std::string("::") + expected[i].first + " "), std::string::npos)
        << sent[i].subject;
    EXPECT_LE(std::abs(when[i] - expected[i].second), 2.5 * kOneMinute)
        << expected[i].first << " at " << ravenox::FormatDateTime(when[i]);
  }
}

// A change far from now does not wake the engine; one near now does, and so does its removal.
TEST(DesktopCalendars, OnlyAChangeNearNowWakesTheEngine) {
  CalendarClient work("work");
  ASSERT_TRUE(work.Ready()) << work.Why();
  StoreProfile profile;
  profile.calendars = {"eds:work"};
  Wakes wakes;
  const auto store = OpenLocalStore(profile, {}, FolderScope::kNow, wakes.Hook());
  EXPECT_EQ(Count(*store, olFolderCalendar), 0);
  const time_t now = time(nullptr);
  auto stamp = [](time_t t) {
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", std::gmtime(&t));
    return std::string(text);
  };
  ASSERT_EQ(
      work.Create(Event("far", "SUMMARY:Far\r\nDTSTART:" + stamp(now + 400 * 86400) + "\r\n")), "");
  ASSERT_EQ(work.Create(Event("near", "SUMMARY:Near\r\nDTSTART:" + stamp(now + 3600) + "\r\n")),
            "");
  ASSERT_TRUE(wakes.WaitFor(1));
  EXPECT_EQ(wakes.Count(), 1);  // the far one came first and woke nobody
  EXPECT_TRUE(Eventually([&] { return Count(*store, olFolderCalendar) == 1; }));
  ASSERT_EQ(work.Remove("near"), "");
  EXPECT_TRUE(wakes.WaitFor(2));
  EXPECT_TRUE(Eventually([&] { return Count(*store, olFolderCalendar) == 0; }));
}

// Items are found again by their UID when they change or go, whatever the UID holds: a comma and
// a semicolon (escaped in the text), a backslash, one long enough to be folded across lines.
TEST(DesktopCalendars, AnItemIsChangedAndRemovedInPlaceWhateverItsUid) {
  CalendarClient work("work");
  ASSERT_TRUE(work.Ready()) << work.Why();
  StoreProfile profile;
  profile.calendars = {"eds:work"};
  const auto store = OpenLocalStore(profile, {}, FolderScope::kWhole);
  const auto items = store->GetNamespace("MAPI")->GetDefaultFolder(olFolderCalendar)->Items();
  const int before = items->Count();
  auto subjects = [&] {
    std::multiset<std::string> out;
    for (int i = 1; i <= items->Count(); ++i)
      out.insert(As<AppointmentItem>(items->Item(i))->Subject());
    return out;
  };
  for (const std::string& uid :
       std::vector<std::string>{"a,b;c", "back\\slash", std::string(140, 'u') + "@example.org"}) {
    SCOPED_TRACE(uid);
    const std::string escaped = [&] {
      std::string e;
      for (char c : uid) {
        if (c == ',' || c == ';' || c == '\\') e += '\\';
        e += c;
      }
      return e;
    }();
    auto event = [&](const std::string& subject) {
      return Event(escaped, "SUMMARY:" + subject + "\r\nDTSTART:20270501T090000Z\r\n");
    };
    ASSERT_EQ(work.Create(event("First")), "");
    ASSERT_TRUE(Eventually([&] { return items->Count() == before + 1; }));
    ASSERT_EQ(work.Modify(event("Second")), "");
    EXPECT_TRUE(Eventually([&] { return subjects().count("Second") == 1; }));
    EXPECT_EQ(subjects().count("First"), 0u);
    EXPECT_EQ(items->Count(), before + 1);
    ASSERT_EQ(work.Remove(uid), "");
    EXPECT_TRUE(Eventually([&] { return items->Count() == before; }));
  }
}

// The program's store (the profile at its place) sets the engine's wake event when the desktop's
// calendar changes near now.
TEST(DesktopCalendars, TheProgramsStoreSetsTheEnginesWakeEvent) {
  const auto path = DefaultProfilePath();
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << "[Store]\ncalendars=eds:work\n";
  // Every handle of the event's name is the same event.
  struct Handle final : ravenox::platform::WakeEvent {
    explicit Handle(std::shared_ptr<ravenox::platform::LocalEvent> e) : event(std::move(e)) {}
    void Set() override { event->Set(); }
    void Reset() override { event->Reset(); }
    bool Wait(std::chrono::milliseconds timeout) override { return event->Wait(timeout); }
    std::shared_ptr<ravenox::platform::LocalEvent> event;
  };
  auto event = std::make_shared<ravenox::platform::LocalEvent>();
  ravenox::engine::ProcessorEnvironment env;
  env.open_event = [event](const std::string&, std::string&) {
    return std::make_unique<Handle>(event);
  };
  ravenox::shell::UseLocalStore(env);
  const auto store = env.connector();
  Count(*store, olFolderCalendar);
  EXPECT_FALSE(event->Wait(std::chrono::milliseconds(0)));
  CalendarClient work("work");
  ASSERT_TRUE(work.Ready()) << work.Why();
  const time_t soon = time(nullptr) + 1800;
  char start[32];
  std::strftime(start, sizeof start, "%Y%m%dT%H%M%SZ", std::gmtime(&soon));
  ASSERT_EQ(work.Create(Event("soon", std::string("SUMMARY:Soon\r\nDTSTART:") + start + "\r\n")),
            "");
  EXPECT_TRUE(event->Wait(std::chrono::seconds(20)));
  std::filesystem::remove(path);
}

// The CalDAV server stops: what the calendar held stays; when it is back, what was put there
// meanwhile is read.
TEST(DesktopCalendars, ACalendarWhoseServerStopsKeepsItsItemsAndReadsThemAgainAfter) {
  setenv("TZ", "UTC", 1);
  tzset();
  auto* desktop = DesktopService::Get();
  CalendarClient team("team");
  ASSERT_TRUE(team.Ready()) << team.Why();
  ASSERT_EQ(desktop->Put("a", Calendar(Event("a", "SUMMARY:A\r\nDTSTART:20270310T120000Z\r\n"))),
            201);
  ASSERT_EQ(team.Refresh(), "");
  StoreProfile profile;
  profile.calendars = {"eds:team"};
  const auto store = OpenLocalStore(
      profile, [] { return EncodeDateTime(2027, 3, 10, 9, 0); }, FolderScope::kNow);
  ASSERT_TRUE(Eventually([&] { return Count(*store, olFolderCalendar) >= 1; }));
  const int held = Count(*store, olFolderCalendar);

  desktop->StopCalDav();
  EXPECT_NE(team.Modify(Event("a", "SUMMARY:A2\r\nDTSTART:20270310T120000Z\r\n")), "");
  EXPECT_EQ(team.Refresh(), "");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(Count(*store, olFolderCalendar), held);

  ASSERT_TRUE(desktop->StartCalDav());
  ASSERT_EQ(desktop->Put("b", Calendar(Event("b", "SUMMARY:B\r\nDTSTART:20270310T130000Z\r\n"))),
            201);
  ASSERT_EQ(team.Refresh(), "");
  EXPECT_TRUE(Eventually([&] { return Count(*store, olFolderCalendar) == held + 1; }));
  const auto folder = store->GetNamespace("MAPI")->GetDefaultFolder(olFolderCalendar);
  EXPECT_EQ(folder->Problem(), "");
}

// A calendar whose server cannot be reached is named on the status line, once, and the engine
// logs its return.
TEST(DesktopCalendars, ACalendarThatCannotBeReachedIsReportedUntilItIsBack) {
  auto* desktop = DesktopService::Get();
  StoreProfile profile;
  profile.calendars = {"eds:away"};
  ravenox::testing::EngineRig rig;
  rig.env.connector = [&] { return OpenLocalStore(profile, rig.Now()); };
  rig.clock->Set(EncodeDateTime(2027, 3, 10, 9, 0));
  auto p = rig.Make();
  auto problems = [&] {
    int n = 0;
    for (const auto& line : p->DebugLines())
      n += line.find(
               "ErrorCannot read Away (eds:away): Could not connect to 127.0.0.1: Connection "
               "refused") != std::string::npos;
    return n;
  };
  ASSERT_TRUE(Eventually([&] {
    p->CheckAppointments();
    return problems() == 1;
  })) << ::testing::PrintToString(p->DebugLines());
  p->CheckAppointments();
  EXPECT_EQ(problems(), 1);
  ASSERT_TRUE(desktop->StartCalDav(1));
  CalendarClient away("away");
  EXPECT_TRUE(Eventually([&] {
    away.Refresh();
    p->CheckAppointments();
    return ravenox::testing::EngineRig::Count(*p, "Calendar read again") == 1;
  })) << ::testing::PrintToString(p->DebugLines());
  desktop->StopCalDav(1);
}

// A weekly task long overdue is moved on through the service: the service holds its new dates,
// and the store reads them at once.
TEST(DesktopCalendars, ARecurringTaskIsMovedOnThroughTheService) {
  CalendarClient chores("chores", E_CAL_CLIENT_SOURCE_TYPE_TASKS);
  ASSERT_TRUE(chores.Ready()) << chores.Why();
  ASSERT_EQ(chores.Create("BEGIN:VTODO\r\nUID:bins\r\nDTSTAMP:20270101T000000Z\r\nSUMMARY:Bins\r\n"
                          "DTSTART;VALUE=DATE:20250106\r\nDUE;VALUE=DATE:20250106\r\n"
                          "RRULE:FREQ=WEEKLY\r\nEND:VTODO\r\n"),
            "");
  StoreProfile profile;
  profile.tasks = {"eds:chores"};
  const auto store = OpenLocalStore(profile, {}, FolderScope::kWhole);
  const auto items = store->GetNamespace("MAPI")->GetDefaultFolder(olFolderTasks)->Items();
  ASSERT_EQ(items->Count(), 1);
  const auto task = As<TaskItem>(items->Item(1));
  const TDateTime before = task->DueDate();
  ASSERT_TRUE(task->SkipRecurrence());
  EXPECT_GT(task->DueDate(), before + 300);
  const std::string saved = chores.Get("bins");
  EXPECT_EQ(saved.find("DUE;VALUE=DATE:20250106"), std::string::npos) << saved;
  EXPECT_NE(saved.find("SUMMARY:Bins"), std::string::npos) << saved;
}

// The calendar oracle's generated series, stepped hour by hour over three days across a change of
// daylight-saving time: through the service the engine holds the same reminders, at the same
// times, as through a file.
TEST(DesktopCalendars, GeneratedSeriesGiveTheSameRemindersAsFromAFile) {
  ravenox::engine::Generator g(20261211u);
  std::vector<ravenox::engine::Series> series;
  const std::string calendar = ravenox::engine::Generated(g, 150, series) + "END:VCALENDAR\r\n";
  CalendarClient work("work");
  ASSERT_TRUE(work.Ready()) << work.Why();
  for (const auto& s : series) ASSERT_EQ(work.Create(s.text), "") << s.text;
  ravenox::testing::TempDir dir;
  const auto path = dir.path() / "series.ics";
  std::ofstream(path, std::ios::binary) << calendar;
  setenv("TZ", "Europe/Berlin", 1);
  tzset();

  // What the engine holds after each hour's sweep: each reminder's record and time.
  auto held = [&](const std::filesystem::path& source) {
    ravenox::testing::EngineRig rig;
    rig.host.meeting = true;
    StoreProfile profile;
    profile.calendars = {source};
    rig.env.connector = [&] { return OpenLocalStore(profile, rig.Now()); };
    auto p = rig.Make();
    p->DebugEnabled = false;
    std::vector<std::string> out;
    for (int hour = 0; hour < 72; ++hour) {
      rig.clock->Set(EncodeDateTime(2026, 3, 27, 0, 0) + hour / 24.0);
      for (const int sweep = p->CalendarSweep; p->CalendarSweep == sweep;) p->CheckAppointments();
      for (int i = 0; i < p->NotifyList.Count(); ++i)
        out.push_back(std::to_string(hour) + " " + p->NotifyList[i].Text + " " +
                      ravenox::FormatDateTime(p->NotifyList[i].NotifyTime));
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const auto from_file = held(path);
  EXPECT_GT(from_file.size(), 100u);
  EXPECT_EQ(held("eds:work"), from_file);
}

}  // namespace
}  // namespace outlook::localstore
