// The local store against calendars, tasks and mail written here, and against real files from
// other projects' test suites (read in place from the shared corpora).
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "CalendarFiles.h"
#include "EngineFakes.h"
#include "base/Formats.h"
#include "outlook/localstore/IcsCollection.h"
#include "outlook/localstore/IcsStore.h"
#include "outlook/localstore/LocalStore.h"
#include "outlook/localstore/Maildir.h"

namespace outlook::localstore {
namespace {

using ravenox::EncodeDate;
using ravenox::EncodeDateTime;
using ravenox::testing::TempDir;

// A calendar that cannot be read (not written yet, a folder not mounted) is named and left out; the
// engine reports it once, waits between passes, and goes on with the sources it can read.
TEST_F(LocalStore, UnreadableSourcesAreLeftOutAndReportedOnce) {
  const auto readable =
      Write("work.ics", Calendar(Event("SUMMARY:Plan\r\nDTSTART:20261208T171500Z\r\n")));
  const auto missing = dir_.path() / "not-yet.ics";
  const auto unmounted = dir_.path() / "mnt" / "calendars";
  struct Case {
    std::vector<std::filesystem::path> calendars;
    bool readable;  // the folder as a whole
  };
  for (const Case& c : {Case{{missing, readable, unmounted}, true}, Case{{missing}, false},
                        Case{{missing, unmounted}, false}}) {
    SCOPED_TRACE(c.calendars.size());
    StoreProfile profile;
    profile.calendars = c.calendars;
    profile.outbox = dir_.path() / "Outbox";
    profile.sent = dir_.path() / "Sent";
    profile.sendmail = {"/bin/sh", "-c", "cat >/dev/null"};
    std::filesystem::remove_all(profile.sent);
    ravenox::testing::EngineRig rig;
    rig.env.connector = [&] { return OpenLocalStore(profile, rig.Now()); };
    rig.host.meeting = true;
    rig.clock->Set(EncodeDateTime(2026, 12, 8, 12, 0));
    auto folder = OpenLocalStore(profile, rig.Now())->GetNamespace("MAPI")->GetDefaultFolder(9);
    if (c.readable) {
      EXPECT_EQ(folder->Items()->Count(), 1);
      EXPECT_NE(folder->Problem().find(missing.string()), std::string::npos) << folder->Problem();
      EXPECT_NE(folder->Problem().find(unmounted.string()), std::string::npos) << folder->Problem();
    } else {
      EXPECT_THROW(folder->Items()->Count(), std::runtime_error);
      try {
        folder->Items()->Count();
      } catch (const AutomationError&) {
        ADD_FAILURE() << "not the connection's fault: no reconnecting for it";
      } catch (const std::exception&) {
      }
    }

    auto p = rig.Make();
    constexpr int kPasses = 20;
    rig.event->on_wait = [&](int n) {
      rig.clock->Advance(rig.event->timeouts.back() / 86400000.0);
      if (n >= kPasses) p->Stop();
    };
    p->Execute();
    int errors = 0;
    for (const auto& line : p->DebugLines()) errors += line.find(": Error") != std::string::npos;
    EXPECT_EQ(errors, 1);
    // The status line says so at the end of every pass while it lasts.
    const auto statuses = rig.host.Statuses();
    EXPECT_GE(std::count_if(statuses.begin(), statuses.end(),
                            [&](const std::string& s) {
                              return s.find(missing.string()) != std::string::npos;
                            }),
              kPasses);
    EXPECT_EQ(rig.event->timeouts.size(), static_cast<std::size_t>(kPasses));
    // Plan's reminder (12:00 local) went out from the source that could be read.
    int sent = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(profile.sent / "cur", ec)) {
      (void)e;
      ++sent;
    }
    EXPECT_EQ(sent, c.readable ? 1 : 0);
  }
}

// Hostile calendars cost work in proportion to their size: unmatched BEGIN and END lines are
// indexed in one pass, and a rule with no occurrence, or with occurrences for thousands of years,
// is walked within bounds. The limits are ten times what this takes, far below what it took before.
TEST_F(LocalStore, HostileCalendarsCostBoundedWork) {
  std::string stray;
  for (int i = 0; i < 200000; ++i)
    stray += (i % 2 ? "END:X" : "BEGIN:Y") + std::to_string(i) + "\r\n";
  const auto unmatched =
      Write("stray.ics", Calendar(stray + Event("SUMMARY:a\r\nDTSTART:20261208T140000Z\r\n")));
  std::string rules;
  for (int i = 0; i < 150; ++i) {
    static const char* kRules[] = {"FREQ=MONTHLY;COUNT=100000;BYMONTHDAY=31;BYMONTH=2",
                                   "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30;COUNT=9",
                                   "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30;UNTIL=21001231",
                                   "FREQ=DAILY;COUNT=100000",
                                   "FREQ=WEEKLY;COUNT=100000;BYDAY=MO,TU,WE,TH,FR",
                                   "FREQ=MONTHLY;COUNT=100000",
                                   "FREQ=WEEKLY;UNTIL=99991231T000000Z"};
    rules += Event("SUMMARY:r\r\nDTSTART:20261208T140000Z\r\nRRULE:" + std::string(kRules[i % 7]) +
                   "\r\n");
  }
  const auto slow_rules = Write("rules.ics", Calendar(rules));
  for (const auto& [path, limit] : {std::pair{unmatched, std::chrono::milliseconds(1500)},
                                    std::pair{slow_rules, std::chrono::milliseconds(5000)}}) {
    SCOPED_TRACE(path.filename().string());
    const auto started = std::chrono::steady_clock::now();
    IcsFile file(path, ComponentKind::kEvent);
    file.Refresh();
    for (std::size_t i = 0; i < file.Count(); ++i) file.Event(i);
    const auto spent = std::chrono::steady_clock::now() - started;
    EXPECT_LT(spent, limit);
  }
}

// The engine asks for the count before every item: a vdir is listed when files come or go, and
// a file changed in place is looked at alone, as the kernel tells (or, where nothing tells, within
// a second); never a look per item.
TEST_F(LocalStore, AVdirIsLookedAtOncePerChangeNotPerItem) {
  auto event = [](int n) {
    return Calendar(Event("SUMMARY:e" + std::to_string(n) + "\r\nDTSTART:20261208T140000Z\r\n"));
  };
  for (const bool watch : {true, false}) {
    SCOPED_TRACE(watch ? "told by the kernel" : "nothing tells");
    std::filesystem::remove_all(dir_.path() / "vdir");
    for (int i = 0; i < 300; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "vdir/%03d.ics", i);
      Write(name, event(i));
    }
    const auto single = Write("single.ics", event(1000));
    IcsCollection c({dir_.path() / "vdir", single}, ComponentKind::kEvent, {}, watch);
    c.Refresh();
    ASSERT_EQ(c.Count(), 301u);
    EXPECT_EQ(c.Looks(), 1u);
    for (std::size_t i = 0; i < c.Count(); ++i) {
      c.Refresh();
      auto [file, index] = c.At(i);
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->Event(index).subject, "e" + std::to_string(i < 300 ? i : 1000));
    }
    EXPECT_EQ(c.Looks(), 1u);
    EXPECT_EQ(c.At(301).first, nullptr);

    // A file renamed into the folder (as vdir tools write) is there at the next count.
    Write("new.tmp", event(300));
    std::filesystem::rename(dir_.path() / "new.tmp", dir_.path() / "vdir/300.ics");
    c.Refresh();
    EXPECT_EQ(c.Count(), 302u);
    EXPECT_EQ(c.Looks(), 2u);
    // The single file changed in place: at once.
    Write("single.ics", event(1001) + "\r\n");
    c.Refresh();
    EXPECT_EQ(c.At(301).first->Event(c.At(301).second).subject, "e1001");
    // A file of the folder changed in place: at once where the kernel tells, else within a
    // second; the folder is not listed again for it.
    Write("vdir/000.ics", Calendar(Event("SUMMARY:changed\r\nDTSTART:20261208T140000Z\r\n")));
    if (!watch) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    c.Refresh();
    EXPECT_EQ(c.At(0).first->Event(0).subject, "changed");
    EXPECT_EQ(c.Looks(), 2u);
    // A file removed, and one that is no calendar, at the next count.
    std::filesystem::remove(dir_.path() / "vdir/001.ics");
    Write("vdir/notes.txt", "not a calendar");
    c.Refresh();
    EXPECT_EQ(c.Count(), 301u);
    EXPECT_EQ(c.At(1).first->Event(c.At(1).second).subject, "e2");
    // The folder gone: its files with it, the single file still read.
    std::filesystem::remove_all(dir_.path() / "vdir");
    c.Refresh();
    EXPECT_EQ(c.Count(), 1u);
  }
}

// A file is indexed through a window of it: events across the window's edges and a line longer
// than the window read as they are.
TEST_F(LocalStore, ALargeFileIsIndexedThroughAWindow) {
  std::string events;
  for (int i = 0; i < 12000; ++i) {
    events += Event("SUMMARY:e" + std::to_string(i) + "\r\nDTSTART:20261208T140000Z\r\n" +
                    (i == 7000 ? "DESCRIPTION:" + std::string(3 << 20, 'd') + "\r\n" : ""));
  }
  const auto path = Write("large.ics", Calendar(events));
  ASSERT_GT(std::filesystem::file_size(path), 2u << 20);
  IcsFile file(path, ComponentKind::kEvent);
  file.Refresh();
  ASSERT_EQ(file.Count(), 12000u);
  for (const std::size_t i : {0u, 4095u, 6999u, 7000u, 7001u, 11999u}) {
    EXPECT_EQ(file.Event(i).subject, "e" + std::to_string(i));
  }
  EXPECT_EQ(file.Event(7000).body, std::string(200, 'd'));
}

TEST_F(LocalStore, OverridesFoldIntoTheirSeriesAndOrphansStand) {
  const std::string series =
      "BEGIN:VEVENT\r\nUID:s1\r\nSUMMARY:Series\r\nDTSTART:20261208T140000Z\r\nRRULE:FREQ=DAILY\r\n"
      "END:VEVENT\r\n";
  const std::string moved =
      "BEGIN:VEVENT\r\nUID:s1\r\nRECURRENCE-ID:20261209T140000Z\r\nSUMMARY:Moved\r\n"
      "DTSTART:20261209T160000Z\r\nEND:VEVENT\r\n";
  const std::string orphan =
      "BEGIN:VEVENT\r\nUID:o1\r\nRECURRENCE-ID:20261209T140000Z\r\nSUMMARY:Orphan\r\n"
      "DTSTART:20261209T160000Z\r\nEND:VEVENT\r\n";
  const auto path = Write("c.ics", Calendar(moved + series + orphan));
  IcsFile file(path, ComponentKind::kEvent);
  file.Refresh();
  ASSERT_EQ(file.Count(), 2u);
  EXPECT_EQ(file.Event(0).subject, "Series");
  EXPECT_EQ(file.Event(1).subject, "Orphan");
}

TEST_F(LocalStore, PositionsStayAndChangesAreSeen) {
  const auto path = Write("c.ics", Calendar(Event("SUMMARY:a\r\nDTSTART:20261208T140000Z\r\n") +
                                            Event("SUMMARY:b\r\nDTSTART:20261208T150000Z\r\n")));
  IcsFile file(path, ComponentKind::kEvent);
  file.Refresh();
  EXPECT_EQ(file.Event(1).subject, "b");
  file.Refresh();
  file.Event(0);
  file.Event(1);
  EXPECT_EQ(file.Parsed(), 2u);  // unchanged: nothing parsed again
  Write("c.ics", Calendar(Event("SUMMARY:c\r\nDTSTART:20261208T140000Z\r\n")));
  file.Refresh();
  ASSERT_EQ(file.Count(), 1u);
  EXPECT_EQ(file.Event(0).subject, "c");
}

TEST_F(LocalStore, MalformedInputIsAnErrorNotACrash) {
  const std::string inputs[] = {
      "",
      "garbage without structure",
      "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nSUMMARY:never closed\r\n",
      Calendar("BEGIN:VEVENT\r\nSUMMARY:no start\r\nEND:VEVENT\r\n"),
      Calendar("BEGIN:VEVENT\r\nDTSTART:20261332T999999\r\nEND:VEVENT\r\n"),
      Calendar("BEGIN:VEVENT\r\nDTSTART:20261208T140000Z\r\nRRULE:FREQ=NONSENSE;COUNT=-4\r\n"
               "END:VEVENT\r\n"),
      Calendar("END:VEVENT\r\nEND:VALARM\r\nBEGIN:VEVENT\r\nDTSTART;TZID=Nowhere/Never:20261208T1"
               "\r\nEND:VEVENT\r\n"),
      std::string("BEGIN:VEVENT\r\nSUMMARY:\0nul\r\nDTSTART:20261208T140000Z\r\nEND:VEVENT\r\n",
                  64),
  };
  // The indexer keeps its scratch from file to file: a sound file after each is read whole.
  const auto good =
      Write("good.ics", Calendar("BEGIN:VEVENT\r\nUID:g\r\nDTSTART:20261208T140000Z\r\n"
                                 "END:VEVENT\r\n"));
  for (const auto& input : inputs) {
    const auto path = Write("bad.ics", input);
    IcsFile file(path, ComponentKind::kEvent);
    file.Refresh();
    for (std::size_t i = 0; i < file.Count(); ++i) file.Event(i);
    IcsFile after(good, ComponentKind::kEvent);
    after.Refresh();
    EXPECT_EQ(after.Count(), 1u) << input;
  }
  IcsFile missing(dir_.path() / "none.ics", ComponentKind::kEvent);
  EXPECT_THROW(missing.Refresh(), std::runtime_error);
}

TEST_F(LocalStore, EveryCorpusCalendarLoads) {
  RAVENOX_CORPORA_OR_SKIP(corpora);
  int files = 0;
  std::size_t events = 0, tasks = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpora / "ics")) {
    SCOPED_TRACE(entry.path().filename().string());
    ++files;
    IcsFile ev(entry.path(), ComponentKind::kEvent);
    IcsFile todo(entry.path(), ComponentKind::kTodo);
    ev.Refresh();
    todo.Refresh();
    for (std::size_t i = 0; i < ev.Count(); ++i, ++events) ev.Event(i);
    for (std::size_t i = 0; i < todo.Count(); ++i, ++tasks) todo.Task(i);
  }
  EXPECT_GE(files, 80);
  EXPECT_GT(events, 300u);
  EXPECT_GT(tasks, 10u);
}

TEST_F(LocalStore, SkipRecurrenceRefusesAFileChangedSinceItWasRead) {
  const std::string todo =
      "BEGIN:VTODO\r\nUID:r1\r\nSUMMARY:T\r\nDTSTART:20261207T090000\r\nRRULE:FREQ=DAILY\r\n"
      "END:VTODO\r\n";
  const auto path = Write("t.ics", Calendar(todo));
  IcsFile file(path, ComponentKind::kTodo);
  file.Refresh();
  Write("t.ics", Calendar(todo + "BEGIN:VTODO\r\nUID:r2\r\nSUMMARY:new\r\nEND:VTODO\r\n"));
  EXPECT_FALSE(file.SkipRecurrence(0, Midnight(2026, 12, 9)));
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_NE(s.str().find("DTSTART:20261207T090000"), std::string::npos);
}

// --- Mail -----------------------------------------------------------------------------------

TEST_F(LocalStore, MessageHeaders) {
  struct Case {
    const char* name;
    std::string headers;
    std::string subject, sender;
    int importance;
  };
  const Case cases[] = {
      {"UTF-8 B", "Subject: =?UTF-8?B?TW90w7ZyaGVhZA==?=\nFrom: =?UTF-8?B?TcO8?= <m@x.org>\n",
       "Mot\xC3\xB6rhead", "M\xC3\xBC", 1},
      {"ISO-8859-1 Q", "Subject: Essai =?iso-8859-1?Q?accentu=E9?=\nFrom: a@b.org\n",
       "Essai accentu\xC3\xA9", "a@b.org", 1},
      {"raw Latin-1", "Subject: caf\xE9\nFrom: \"Jos\xE9\" <j@x.org>\n", "caf\xC3\xA9",
       "Jos\xC3\xA9", 1},
      {"missing headers", "X-Other: 1\n", "", "", 1},
      {"Importance", "Importance: High\n", "", "", 2},
      {"X-Priority 2", "X-Priority: 2 (High)\n", "", "", 2},
      {"X-Priority 5", "X-Priority: 5 (Lowest)\n", "", "", 0},
      {"Priority urgent", "Priority: urgent\n", "", "", 2},
      {"Priority normal", "Priority: normal\n", "", "", 1},
      {"X-MSMail-Priority", "X-MSMail-Priority: High\n", "", "", 2},
      {"Precedence is not importance", "Precedence: high\n", "", "", 1},
      {"300-character subject", "Subject: " + std::string(300, 's') + "\n", std::string(300, 's'),
       "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = Write("m.eml", c.headers + "\nbody\n");
    const MessageData m = ReadMessageHeaders(path);
    EXPECT_EQ(m.subject, c.subject);
    EXPECT_EQ(m.sender_name, c.sender);
    EXPECT_EQ(m.importance, c.importance);
  }
}

TEST_F(LocalStore, ReceivedTimeComesFromTheNewestReceivedHeader) {
  const auto path = Write("m.eml",
                          "Received: from a by b; Tue, 8 Dec 2026 15:00:00 +0000\n"
                          "Received: from c by a; Tue, 8 Dec 2026 14:00:00 +0000\n"
                          "Date: Mon, 7 Dec 2026 10:00:00 +0000\nSubject: x\n\n");
  EXPECT_EQ(ReadMessageHeaders(path).received, EncodeDateTime(2026, 12, 8, 10, 0));
  const auto dated = Write("d.eml", "Date: Mon, 7 Dec 2026 10:00:00 +0000\nSubject: x\n\n");
  EXPECT_EQ(ReadMessageHeaders(dated).received, EncodeDateTime(2026, 12, 7, 5, 0));
}

TEST_F(LocalStore, MaildirFlagsAndCaching) {
  const auto box = dir_.path() / "Inbox";
  Write("Inbox/new/1.a", "Subject: new one\n\n");
  Write("Inbox/cur/2.a:2,S", "Subject: seen\n\n");
  Write("Inbox/cur/3.a:2,RF", "Subject: replied\n\n");
  Write("Inbox/cur/4.a!2,S", "Subject: seen, written by mu\n\n");
  std::filesystem::create_directories(box / "tmp");
  MaildirInbox inbox(box);
  inbox.Refresh();
  ASSERT_EQ(inbox.Count(), 4u);
  EXPECT_EQ(inbox.UnreadCount(), 2u);
  EXPECT_EQ(inbox.Opened(), 4u);
  inbox.Refresh();
  EXPECT_EQ(inbox.Opened(), 4u);  // unchanged: no message opened
  // A client marks the new one seen: it moves to cur/ with the S flag; nothing is read again.
  std::filesystem::rename(box / "new/1.a", box / "cur/1.a:2,S");
  inbox.Refresh();
  EXPECT_EQ(inbox.UnreadCount(), 1u);
  EXPECT_EQ(inbox.Opened(), 4u);
}

// FIFOs and links to endless devices, where a calendar or a message should be, neither hang the
// store nor fill the memory: a calendar is named as unreadable, a message reads as empty.
TEST_F(LocalStore, FifosAndDevicesNeitherHangNorRunOn) {
  const auto fifo = dir_.path() / "fifo.ics";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto zero = dir_.path() / "zero.ics";
  std::filesystem::create_symlink("/dev/zero", zero);
  const auto good = Write("good.ics", Calendar(Event("SUMMARY:a\r\nDTSTART:20261208T140000Z\r\n")));
  IcsCollection calendars({fifo, zero, good}, ComponentKind::kEvent);
  calendars.Refresh();
  EXPECT_EQ(calendars.Count(), 1u);
  EXPECT_EQ(calendars.Problems().size(), 2u);

  const auto box = dir_.path() / "Inbox";
  Write("Inbox/new/1.a", "Subject: real\nX-Priority: 1\n\nbody\n");
  ASSERT_EQ(mkfifo((box / "new" / "2.fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", box / "new" / "3.zero");
  std::filesystem::create_symlink("/dev/urandom", box / "new" / "4.random");
  MaildirInbox inbox(box);
  inbox.Refresh();
  ASSERT_EQ(inbox.Count(), 4u);
  int subjects = 0;
  for (std::size_t i = 0; i < inbox.Count(); ++i) subjects += !inbox.Message(i).subject.empty();
  EXPECT_EQ(subjects, 1);
}

TEST_F(LocalStore, EveryCorpusMessageReads) {
  RAVENOX_CORPORA_OR_SKIP(corpora);
  int read = 0;
  for (const auto& dir : {corpora / "mail" / "eml"}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      SCOPED_TRACE(entry.path().filename().string());
      const MessageData m = ReadMessageHeaders(entry.path());
      EXPECT_TRUE(g_utf8_validate(m.subject.c_str(), -1, nullptr));
      ++read;
    }
  }
  EXPECT_GE(read, 25);
  for (const char* name : {"maildir-notmuch", "maildir-mu"}) {
    MaildirInbox inbox(corpora / "mail" / name);
    inbox.Refresh();
    EXPECT_GE(inbox.Count(), 5u) << name;
  }
  const auto high = ReadMessageHeaders(corpora / "mail/eml/stalwart__legacy-029.eml");
  EXPECT_EQ(high.importance, 2);
  const auto low = ReadMessageHeaders(corpora / "mail/eml/stalwart__legacy-033.eml");
  EXPECT_EQ(low.importance, 0);
}

}  // namespace
}  // namespace outlook::localstore
