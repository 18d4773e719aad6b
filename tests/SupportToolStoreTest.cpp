#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "outlook/outbox/Sender.h"
#include "tools/support/SupportTool.h"

namespace ravenox::shell {
namespace {

using testing::TempDir;

struct Output {
  int status;
  std::string out, err;
  std::vector<std::string> lines;
};

Output Inspect(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Output o;
  o.status = RunInspect(args, out, err);
  o.out = out.str();
  o.err = err.str();
  std::istringstream in(o.out);
  for (std::string line; std::getline(in, line);) o.lines.push_back(line);
  return o;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

class InspectStore : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
  std::string Profile(const std::filesystem::path& calendar, const std::filesystem::path& tasks,
                      const std::filesystem::path& inbox) {
    const auto path = dir_.path() / "store.conf";
    std::ofstream(path) << "[Store]\ncalendars=" << calendar.string()
                        << "\ntasks=" << tasks.string() << "\ninbox=" << inbox.string()
                        << "\noutbox=" << (dir_.path() / "Out").string()
                        << "\nsent=" << (dir_.path() / "Sent").string() << "\n";
    return path.string();
  }
  TempDir dir_;
};

TEST_F(InspectStore, CalendarShowsWhatTheScanWouldDo) {
  const auto ics = dir_.path() / "c.ics";
  std::ofstream(ics) << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n"
                        "BEGIN:VEVENT\r\nUID:1\r\nSUMMARY:Standup\r\nDTSTART:20261208T090000Z\r\n"
                        "RRULE:FREQ=WEEKLY;BYDAY=MO,TU\r\nEND:VEVENT\r\n"
                        "BEGIN:VEVENT\r\nUID:2\r\nSUMMARY:Far away\r\nDTSTART:20270101T090000Z\r\n"
                        "END:VEVENT\r\n"
                        "BEGIN:VEVENT\r\nUID:3\r\nSUMMARY:Hourly\r\nDTSTART:20261208T090000Z\r\n"
                        "RRULE:FREQ=HOURLY\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  const Output o = Inspect(
      {"calendar", "--profile", Profile(ics, ics, dir_.path() / "In"), "--at", "2026-12-14 08:00"});
  EXPECT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(o.lines.size(), 3u) << o.out;
  const auto standup = Fields(o.lines[0]);
  ASSERT_EQ(standup.size(), 19u) << o.lines[0];
  EXPECT_EQ(standup[1], "Standup");
  EXPECT_EQ(standup[3], "1");
  EXPECT_EQ(standup[4], "1");  // weekly
  EXPECT_EQ(standup[6], "6");  // Monday and Tuesday
  EXPECT_EQ(standup[14], "15");
  EXPECT_EQ(standup[15], "1");                    // in the engine's view
  EXPECT_EQ(standup[16], "2026-12-14 09:00:00");  // the engine's next occurrence
  EXPECT_EQ(standup[17], "2026-12-14 08:45:00");
  EXPECT_EQ(standup[18], "taken");
  const auto far = Fields(o.lines[1]);
  ASSERT_EQ(far.size(), 20u) << o.lines[1];
  EXPECT_EQ(far[15], "0");  // listed, though the engine's view leaves it out
  EXPECT_EQ(far[18], "skipped");
  EXPECT_EQ(far[19], "# outside the window");
  EXPECT_NE(o.lines[2].find("# no expansion: a rule repeating within a day"), std::string::npos);

  EXPECT_EQ(Inspect({"calendar", "--at", "tomorrow"}).status, 2);
}

TEST_F(InspectStore, RealExportsListEveryEvent) {
  RAVENOX_CORPORA_OR_SKIP(corpora);
  struct Case {
    const char* file;
    std::size_t events;
  };
  const Case cases[] = {
      {"icalnet__Bug2912657.ics", 3},         // Windows Calendar, UTF-16
      {"icalevents__floating.ics", 2},        // SabreDAV
      {"rie__daylight_saving_time.ics", 58},  // Google
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto ics = corpora / "ics" / c.file;
    const Output o = Inspect({"calendar", "--profile", Profile(ics, ics, dir_.path() / "In"),
                              "--at", "2021-06-01 09:00"});
    EXPECT_EQ(o.lines.size(), c.events) << o.out << o.err;
    for (const auto& line : o.lines) EXPECT_GE(Fields(line).size(), 19u) << line;
  }
}

// A calendar large enough to be read in parts, as one file and as a vdir of a file per event:
// every item once, in order, an unreadable one named in its place.
TEST_F(InspectStore, ALargeCalendarIsListedInOrder) {
  constexpr int kEvents = 4500, kBroken = 3001;
  auto event = [](int i) {
    std::ostringstream e;
    e << "BEGIN:VEVENT\r\nUID:" << i << "\r\nSUMMARY:Event " << i << "\r\n";
    if (i != kBroken) e << "DTSTART:20261208T" << 100000 + i % 8 * 10000 << "Z\r\n";
    if (i % 3 == 0) e << "RRULE:FREQ=WEEKLY;COUNT=" << i % 50 + 1 << "\r\n";
    e << "END:VEVENT\r\n";
    return e.str();
  };
  const std::string begin = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n", end = "END:VCALENDAR\r\n";
  const auto ics = dir_.path() / "large.ics", vdir = dir_.path() / "large";
  {
    std::ofstream f(ics);
    f << begin;
    for (int i = 1; i <= kEvents; ++i) f << event(i);
    f << end;
  }
  std::filesystem::create_directory(vdir);
  for (int i = 1; i <= kEvents; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%05d.ics", i);
    std::ofstream(vdir / name) << begin << event(i) << end;
  }
  for (const auto& source : {ics, vdir}) {
    SCOPED_TRACE(source.filename().string());
    const Output o = Inspect({"calendar", "--profile", Profile(source, ics, dir_.path() / "In"),
                              "--at", "2026-12-08 09:00"});
    EXPECT_EQ(o.status, 1);
    ASSERT_EQ(o.lines.size(), static_cast<std::size_t>(kEvents)) << o.err;
    for (int i = 1; i <= kEvents; ++i) {
      const auto fields = Fields(o.lines[static_cast<std::size_t>(i - 1)]);
      ASSERT_EQ(fields[0], std::to_string(i));
      if (i == kBroken) {
        EXPECT_EQ(fields.back(), "# event without a start");
      } else {
        ASSERT_GE(fields.size(), 19u) << i;
        EXPECT_EQ(fields[1], "Event " + std::to_string(i));
        EXPECT_EQ(fields[3], i % 3 == 0 ? "1" : "0");
      }
    }
  }
}

TEST_F(InspectStore, TasksAndInbox) {
  const auto ics = dir_.path() / "t.ics";
  std::ofstream(ics)
      << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VTODO\r\nUID:1\r\nSUMMARY:Report\r\n"
         "DUE;VALUE=DATE:20261210\r\nEND:VTODO\r\nEND:VCALENDAR\r\n";
  const auto inbox = dir_.path() / "In";
  std::filesystem::create_directories(inbox / "new");
  std::filesystem::create_directories(inbox / "cur");
  std::ofstream(inbox / "new" / "1.x")
      << "From: Ops <ops@x.org>\nSubject: Server down\n"
         "Importance: high\nDate: Tue, 8 Dec 2026 10:00:00 +0000\n\n";
  const std::string profile = Profile(ics, ics, inbox);
  const Output tasks = Inspect({"tasks", "--profile", profile});
  ASSERT_EQ(tasks.lines.size(), 1u) << tasks.err;
  EXPECT_EQ(tasks.lines[0], "1\tReport\t4501-01-01 00:00:00\t2026-12-10 00:00:00\t0\t0\t0\t0");
  const Output mail = Inspect({"inbox", "--profile", profile});
  ASSERT_EQ(mail.lines.size(), 1u) << mail.err;
  EXPECT_EQ(mail.lines[0], "1\t1\t2\t2026-12-08 10:00:00\tServer down\tOps");
}

// The texts waiting, given up and refused, each with why.
TEST_F(InspectStore, OutboxListsWaitingFailedAndBouncedTexts) {
  const auto out = dir_.path() / "Out";
  const auto failed = dir_.path() / "Failed";
  for (const auto& d : {out / "new", failed / "cur"}) std::filesystem::create_directories(d);
  const std::string name = "1796700000.M1P1Q0.host";
  std::ofstream(out / "new" / name) << outlook::outbox::ComposeMessage(
      "me@example.org", "5551234567@vtext.com", "Caf\xC3\xA9 at 9", "");
  std::ofstream(outlook::outbox::ReasonsFile(out)) << name << "\trelay down\n";
  std::ofstream(failed / "cur" / "1796600000.M2P1Q0.host:2,S")
      << outlook::outbox::ComposeMessage("me@example.org", "a@b.c", "Old", "");
  std::ofstream(outlook::outbox::FailedRecordFile(out))
      << "1796600000.M2P1Q0.host\tnot handed on within 6 h\n";
  std::ofstream(outlook::outbox::BouncesFile(out))
      << "1796700500.M9.host\tabc@example.org\t5551234567@tmomail.net\t550 gateway closed\t"
         "1796700500\n";
  const std::string profile =
      Profile(dir_.path() / "c.ics", dir_.path() / "t.ics", dir_.path() / "In");
  const Output o = Inspect({"outbox", "--profile", profile});
  EXPECT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(o.lines.size(), 3u) << o.out;
  const auto waiting = Fields(o.lines[0]), given_up = Fields(o.lines[1]),
             bounced = Fields(o.lines[2]);
  EXPECT_EQ(waiting[0], "waiting");
  EXPECT_EQ(waiting[2], "5551234567@vtext.com");
  EXPECT_EQ(waiting[3], "Caf\xC3\xA9 at 9");
  EXPECT_EQ(waiting[4], "relay down");
  EXPECT_EQ(given_up[0], "failed");
  EXPECT_EQ(given_up[4], "not handed on within 6 h");
  EXPECT_EQ(bounced[0], "bounced");
  EXPECT_EQ(bounced[2], "5551234567@tmomail.net");
  EXPECT_EQ(bounced[4], "550 gateway closed");
}

TEST_F(InspectStore, AProfileThatCannotBeReadIsReported) {
  const auto path = dir_.path() / "bad.conf";
  std::ofstream(path) << "this is [not a key file\n";
  const Output o = Inspect({"calendar", "--profile", path.string()});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("bad.conf"), std::string::npos);
}

}  // namespace
}  // namespace ravenox::shell
