#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "TestDay.h"
#include "base/Formats.h"

namespace ravenox::engine {
namespace {

using testing::EngineRig;

TEST(EngineWindow, BoundsAreExclusive) {
  struct Case {
    TDateTime now, early, late;
    bool inside;
  };
  const TDateTime early = EncodeTime(7, 0, 0), late = EncodeTime(19, 0, 0);
  const Case cases[] = {
      {At(7, 0), early, late, false},
      {At(7, 0, 0, 1), early, late, true},
      {At(19, 0), early, late, false},
      {At(18, 59, 59, 999), early, late, true},
      {At(12, 0), early, late, true},
      {At(3, 0), early, late, false},
      // Times stored by the wizard carry a date; only the time of day counts.
      {At(12, 0), 45000.0 + 7.0 / 24, 46000.0 + 19.0 / 24, true},
      // Early at or after late: never inside.
      {At(12, 0), EncodeTime(19, 0, 0), EncodeTime(7, 0, 0), false},
      {At(12, 0), EncodeTime(12, 0, 0), EncodeTime(12, 0, 0), false},
      {At(12, 0, 0, 1), EncodeTime(12, 0, 0), EncodeTime(12, 0, 0), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FormatDateTime(c.now));
    EXPECT_EQ(InsideDay(c.now, c.early, c.late), c.inside);
  }
}

TEST(EngineWindow, WaitChoice) {
  struct Case {
    bool away;
    TDateTime now;
    int expected;
  };
  const Case cases[] = {
      {false, At(12, 0), 60000},          {false, At(2, 0), 60000},
      {true, At(12, 0), 15000},           {true, At(19, 0), 15000},
      {true, At(19, 0, 0, 1), 300000},    {true, At(23, 0), 300000},
      {true, At(6, 56), 15000},            // exactly 4 minutes before early
      {true, At(6, 55, 59, 999), 300000},  // a moment earlier
      {true, At(2, 0), 300000},           {true, At(7, 0), 15000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FormatDateTime(c.now));
    EXPECT_EQ(ChooseWaitMilliseconds(c.away, c.now, EncodeTime(7, 0, 0), EncodeTime(19, 0, 0)),
              c.expected);
  }
}

TEST(EngineWindow, MorningAndEveningQuarterHours) {
  const TDateTime early = EncodeTime(7, 0, 0), late = EncodeTime(19, 0, 0);
  EXPECT_FALSE(InMorningWindow(At(7, 0), early));
  EXPECT_TRUE(InMorningWindow(At(7, 0, 0, 1), early));
  EXPECT_TRUE(InMorningWindow(At(7, 14, 59, 999), early));
  EXPECT_FALSE(InMorningWindow(At(7, 15), early));
  EXPECT_FALSE(InEveningWindow(At(18, 45), late));
  EXPECT_TRUE(InEveningWindow(At(18, 45, 0, 1), late));
  EXPECT_TRUE(InEveningWindow(At(18, 59, 59, 999), late));
  EXPECT_FALSE(InEveningWindow(At(19, 0), late));
}

TEST(AwayCheck, MouseAndKeyboard) {
  struct Case {
    const char* name;
    platform::CursorPoint cursor;
    int key;  // -1: none
    const char* problem;
    bool away;
  };
  const Case cases[] = {
      {"still", {100, 100}, -1, "", true},
      {"moved", {101, 100}, -1, "", false},
      {"key held, still", {100, 100}, 65, "", false},
      {"key held, moved", {150, 90}, 0, "", false},
      {"nothing tells", {100, 100}, -1, "No input state", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    auto p = rig.Make();
    p->LastCursor = {100, 100};
    p->UserAway = !c.away;
    rig.input->cursor = c.cursor;
    rig.input->problem = c.problem;
    if (c.key >= 0) rig.input->SetKey(c.key, true);
    p->CheckAway();
    EXPECT_EQ(p->UserAway, c.away);
    // Only the end of a pass moves the resting place of the cursor.
    EXPECT_EQ(p->LastCursor, (platform::CursorPoint{100, 100}));
    EXPECT_EQ(EngineRig::Count(*p, "Keyboard Pressed :" + std::to_string(c.key)),
              c.key >= 0 ? 1 : 0);
  }
}

// A move at any moment after a pass ended makes the next pass find the user present, however
// often the input was looked at in between (the look after the wait, the scans' key checks); only
// a whole wait without input makes the user away. While nothing tells about input no pass sends,
// and the meeting is not used up.
TEST(AwayCheck, InputSinceThePreviousPassEndedMeansPresent) {
  EngineRig rig;
  rig.clock->Set(At(12, 0));
  auto p = rig.Make();
  auto r = std::make_unique<TEventItem>();
  r->Text = "12:15:00@loc:Room:Plan ";
  r->StartTime = At(12, 15);
  r->NotifyTime = At(12, 0);
  p->NotifyList.Add(std::move(r));
  int x = 100;
  bool move = true;
  rig.event->on_wait = [&](int) {
    if (move) rig.input->SetCursor(++x, 0);
    rig.clock->Advance(kOneMinute / 4);
  };
  p->RunPass();  // the user moves during the wait
  for (int look = 0; look < 5; ++look) p->CheckAway();
  p->RunPass();
  EXPECT_TRUE(rig.outlook->Sent().empty());
  EXPECT_EQ(EngineRig::Count(*p, "HandleNotify"), 0);
  move = false;
  rig.input->SetProblem("No input state in this X11 session");
  p->RunPass();
  p->RunPass();
  EXPECT_TRUE(rig.outlook->Sent().empty());
  EXPECT_FALSE(p->NotifyList[0].Notified);
  rig.input->SetProblem("");
  p->RunPass();
  EXPECT_EQ(rig.outlook->Sent().size(), 1u);
}

// Runs Execute on the test thread; the fake event stops the engine at the wait given.
void RunUntilWait(EngineRig& rig, TOutlookProcessor& p, int stop_at_wait,
                  std::function<void(int)> each_wait = {}) {
  rig.event->on_wait = [&, stop_at_wait, each_wait](int n) {
    if (each_wait) each_wait(n);
    if (n >= stop_at_wait) p.Stop();
  };
  p.Execute();
}

TEST(EngineLoop, StartUpAndShutdownSteps) {
  EngineRig rig;
  auto p = rig.Make();
  EXPECT_TRUE(rig.host.processor_running);
  RunUntilWait(rig, *p, 1);
  const auto& lines = p->DebugLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Execute Start");
  EXPECT_EQ(lines[1], "Loading From Disk");
  for (const char* text : {"Checked... Beginning", "Ok", "COI", "Start Loop", "ProcessCheckes",
                           "ProcessCheckes-End", "Shutting Down", "Completed"}) {
    EXPECT_EQ(EngineRig::Count(*p, text), 1) << text;
  }
  EXPECT_FALSE(rig.host.processor_running);
  EXPECT_EQ(rig.com->initialized, 1);
  EXPECT_EQ(rig.com->uninitialized, 1);
  // Stop during the wait: no second pass, and the event stays signalled.
  EXPECT_EQ(rig.event->timeouts.size(), 1u);
  EXPECT_TRUE(rig.event->signaled);
  const auto statuses = rig.host.Statuses();
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Processor Idle."), statuses.end());
}

TEST(EngineLoop, UntimedLinesAreKeptWithTheLogOff) {
  EngineRig rig;
  auto p = rig.Make();
  p->DebugEnabled = false;
  RunUntilWait(rig, *p, 1);
  const std::vector<std::string> expected = {"Execute Start", "Loading From Disk"};
  EXPECT_EQ(p->DebugLines(), expected);
}

TEST(EngineLoop, ComFailureAtStartEndsWithShutdownSteps) {
  EngineRig rig;
  rig.com->results = {false};
  auto p = rig.Make();
  p->Execute();
  ASSERT_EQ(rig.host.Exceptions().size(), 1u);
  EXPECT_EQ(rig.host.Exceptions()[0], kComFailureMessage);
  EXPECT_EQ(EngineRig::Count(*p, "ProcessCheckes"), 0);
  EXPECT_EQ(EngineRig::Count(*p, "Shutting Down"), 1);
  EXPECT_FALSE(rig.host.processor_running);
  EXPECT_EQ(rig.com->uninitialized, 0);
}

TEST(EngineLoop, NotTheMainWindowStartsNothing) {
  EngineRig rig;
  rig.host.main_window = false;
  rig.env.start_thread = true;
  TOutlookProcessor p(rig.host, rig.env);
  EXPECT_FALSE(p.ThreadStarted());
  ASSERT_EQ(rig.host.Exceptions().size(), 1u);
  EXPECT_EQ(rig.host.Exceptions()[0], "ERROR IN PROCESSOR");
  EXPECT_FALSE(rig.host.processor_running);
}

TEST(EngineLoop, ElevenConsecutiveOutlookErrorsEndTheLoop) {
  EngineRig rig;
  rig.host.meeting = true;
  rig.outlook->faults->FailOn("NameSpace.GetDefaultFolder", -1, "RPC server unavailable");
  auto p = rig.Make();
  p->Execute();
  EXPECT_EQ(EngineRig::Count(*p, "ErrorRPC server unavailable"), 11);
  EXPECT_EQ(EngineRig::Count(*p, "Shutting Down"), 1);
  EXPECT_FALSE(rig.host.processor_running);
  // Each failure but the last reconnects with a new connection object.
  EXPECT_EQ(rig.outlook->Connections(), 11);
  EXPECT_EQ(rig.com->initialized, 11);
  EXPECT_EQ(rig.com->uninitialized, 11);
  // Old connections are kept, not told to quit; the last quits as the thread ends.
  EXPECT_EQ(rig.outlook->Quits(), 1);
  const auto statuses = rig.host.Statuses();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "RPC server unavailable"), 11);
  EXPECT_TRUE(std::filesystem::exists(rig.dir.path() / "DEBUG.LOG"));
  p.reset();
  EXPECT_EQ(rig.outlook->Quits(), 11);  // every connection quits when the engine goes
}

TEST(EngineLoop, ASuccessfulPassResetsTheFailureCount) {
  EngineRig rig;
  rig.host.meeting = true;
  rig.outlook->faults->FailOn("NameSpace.GetDefaultFolder", 10);
  auto p = rig.Make();
  RunUntilWait(rig, *p, 2, [&](int n) {
    if (n == 1) rig.outlook->faults->FailOn("NameSpace.GetDefaultFolder", 10);
  });
  EXPECT_EQ(EngineRig::Count(*p, "ErrorThe operation failed."), 20);
  EXPECT_EQ(rig.event->timeouts.size(), 2u);  // the loop went on to the second wait
}

// A failure that is not Outlook's (a source that cannot be read, a missing folder, any other error)
// costs one pass and one wait; it is reported once, and the rest of the engine goes on working.
TEST(EngineLoop, OtherErrorsCostAPassAndAWaitAndAreReportedOnce) {
  struct Case {
    const char* name;
    std::function<void(EngineRig&)> arrange;
    const char* logged;  // the error line; null: logged on every failing pass
    int sources;         // how many sources report it (each once)
    bool test_sent, task_texted;
  };
  const Case cases[] = {
      {"calendar folder fails to open",
       [](EngineRig& rig) {
         rig.outlook->faults->SetHook([](const std::string& member) {
           if (member == "NameSpace.GetDefaultFolder") throw std::runtime_error("boom");
         });
       },
       "Errorboom", 3, true, false},
      {"no calendar folder",
       [](EngineRig& rig) { rig.outlook->missing_folders = {outlook::olFolderCalendar}; },
       "ErrorNo calendar folder", 1, true, true},
      {"no inbox folder",
       [](EngineRig& rig) { rig.outlook->missing_folders = {outlook::olFolderInbox}; },
       "ErrorNo inbox folder", 1, true, true},
      {"an error outside the scans",
       [](EngineRig& rig) {
         rig.input->on_cursor_read = [](long, platform::CursorPoint&) {
           throw std::runtime_error("input gone");
         };
       },
       nullptr, 0, true, false},  // a test message does not look at the input
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.host.meeting = rig.host.task = rig.host.urgent = true;
    rig.clock->Set(At(12, 0));
    auto task = rig.outlook->AddTask();
    task->subject = "Call back";
    task->due_date = At(18, 0);
    task->reminder_set = true;
    task->reminder_time = At(12, 0);
    c.arrange(rig);
    auto p = rig.Make();
    p->RequestTestMessage("me@example.org", "Test", "body");
    constexpr int kPasses = 12;
    RunUntilWait(rig, *p, kPasses,
                 [&](int) { rig.clock->Advance(rig.event->timeouts.back() / 86400000.0); });
    // Every pass ended in a wait: the loop did not spin.
    EXPECT_EQ(EngineRig::Count(*p, "ProcessCheckes"), kPasses);
    EXPECT_EQ(rig.event->timeouts.size(), static_cast<std::size_t>(kPasses));
    EXPECT_EQ(rig.outlook->Connections(), 1);  // not taken for a broken connection
    if (c.logged != nullptr) {
      EXPECT_EQ(EngineRig::Count(*p, c.logged), c.sources);
      const auto statuses = rig.host.Statuses();
      // Logged once, but shown at the end of every pass while it lasts (the inbox is first
      // looked at on the first pass that finds the user away).
      const auto shown =
          std::count(statuses.begin(), statuses.end(), std::string(c.logged).substr(5));
      EXPECT_GE(shown, kPasses - 1);
    }
    // The test message and the other checks still run.
    const auto sent = rig.outlook->Sent();
    const auto texted = [&](const std::string& prefix) {
      return std::any_of(sent.begin(), sent.end(),
                         [&](const auto& m) { return m.subject.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(texted("Test"), c.test_sent);
    EXPECT_EQ(texted("Call back:"), c.task_texted);
  }
}

TEST(EngineLoop, ComFailureOnReconnectStillRunsShutdown) {
  EngineRig rig;
  rig.host.meeting = true;
  rig.com->results = {true, false};
  rig.outlook->faults->FailOn("NameSpace.GetDefaultFolder", 1);
  auto p = rig.Make();
  p->Execute();
  EXPECT_TRUE(p->Terminated());
  EXPECT_EQ(EngineRig::Count(*p, "Shutting Down"), 1);
  EXPECT_FALSE(rig.host.processor_running);
}

TEST(EngineLoop, ScansFollowTheSwitches) {
  struct Case {
    bool meeting, morning, evening, task, task_pre, task_reminder;
    bool calendar, tasks;
  };
  const Case cases[] = {
      {false, false, false, false, false, false, false, false},
      {true, false, false, false, false, false, true, false},
      {false, true, false, false, false, false, true, false},
      {false, false, true, false, false, false, true, false},
      {false, false, false, true, false, false, false, true},
      {false, false, false, false, true, false, false, true},
      {false, false, false, false, false, true, false, true},
      {true, true, true, true, true, true, true, true},
  };
  for (const auto& c : cases) {
    EngineRig rig;
    rig.host.meeting = c.meeting;
    rig.host.morning = c.morning;
    rig.host.evening = c.evening;
    rig.host.task = c.task;
    rig.host.task_pre = c.task_pre;
    rig.host.task_reminder = c.task_reminder;
    rig.clock->Set(At(2, 0));  // outside the day: the scans run all the same
    auto p = rig.Make();
    p->ProcessChecks();
    EXPECT_EQ(EngineRig::Count(*p, "Getting Calendar"), c.calendar ? 1 : 0);
    EXPECT_EQ(EngineRig::Count(*p, "Getting Task Folder"), c.tasks ? 1 : 0);
  }
}

struct PassCase {
  const char* name;
  TDateTime now;
  bool moved;  // the mouse moved since the last pass
  bool handled;
};

TEST(EnginePass, NotificationsOnlyInsideTheDayWithTheUserAway) {
  const PassCase cases[] = {
      {"inside, away", At(12, 0), false, true}, {"inside, present", At(12, 0), true, false},
      {"at early", At(7, 0), false, false},     {"at late", At(19, 0), false, false},
      {"night", At(23, 0), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(c.now);
    auto p = rig.Make();
    p->LastCursor = rig.input->cursor;
    if (c.moved) rig.input->SetCursor(5, 5);
    rig.event->on_wait = [&](int) { p->Stop(); };
    p->RunPass();
    EXPECT_EQ(EngineRig::Count(*p, "HandleNotify"), c.handled ? 1 : 0);
    EXPECT_EQ(EngineRig::Count(*p, "ProcessCheckes"), 1);
    EXPECT_EQ(EngineRig::Count(*p, "Sleep:" + FormatDateTime(c.now)), 1);
  }
}

TEST(EnginePass, UrgentMailOnTheFirstOfEveryFiveAwayPasses) {
  EngineRig rig;
  rig.host.urgent = true;
  rig.clock->Set(At(12, 0));
  auto p = rig.Make();
  p->LastCursor = rig.input->cursor;
  std::vector<int> scanned_on;
  for (int pass = 1; pass <= 11; ++pass) {
    const int before = EngineRig::Count(*p, "Getting Inbox");
    p->RunPass();
    if (EngineRig::Count(*p, "Getting Inbox") > before) scanned_on.push_back(pass);
    if (pass == 3) rig.host.urgent = false;  // the counter runs on with the switch off
    if (pass == 5) rig.host.urgent = true;
  }
  EXPECT_EQ(scanned_on, (std::vector<int>{1, 6, 11}));
}

TEST(EnginePass, MorningAndEveningNoticesOncePerDay) {
  struct Case {
    const char* name;
    TDateTime now;
    bool morning_runs, evening_runs;
  };
  const Case cases[] = {
      {"first morning quarter", At(7, 5), true, false},
      {"after the quarter", At(7, 15), false, false},
      {"last evening quarter", At(18, 50), false, true},
      {"before the evening quarter", At(18, 45), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.host.morning = true;
    rig.host.evening = true;
    rig.clock->Set(c.now);
    auto p = rig.Make();
    p->LastCursor = rig.input->cursor;
    p->RunPass();
    const TDateTime tomorrow = EncodeDate(2026, 12, 9);
    EXPECT_EQ(p->NextMorningCheck, c.morning_runs ? tomorrow : TDateTime(0.0));
    EXPECT_EQ(p->NextEveningCheck, c.evening_runs ? tomorrow : TDateTime(0.0));
    // A second pass in the same quarter does not run it again.
    p->NextMorningCheck = c.morning_runs ? tomorrow : TDateTime(0.0);
    p->RunPass();
    EXPECT_EQ(p->NextMorningCheck, c.morning_runs ? tomorrow : TDateTime(0.0));
  }
}

TEST(EnginePass, AUserPresentAllQuarterGetsNoMorningNotice) {
  EngineRig rig;
  rig.host.morning = true;
  rig.clock->Set(At(7, 1));
  auto p = rig.Make();
  int x = 0;
  for (int pass = 0; pass < 14; ++pass) {
    rig.input->SetCursor(++x, 0);  // moves before every pass
    p->RunPass();
    rig.clock->Advance(kOneMinute);
  }
  EXPECT_EQ(p->NextMorningCheck, TDateTime(0.0));
}

TEST(EnginePass, TestMessageRequestedDuringTheWaitGoesOutAtOnce) {
  EngineRig rig;
  rig.clock->Set(At(23, 30));   // outside the day
  rig.input->SetKey(30, true);  // and the user is typing
  auto p = rig.Make();
  RunUntilWait(rig, *p, 1, [&](int) {
    p->RequestTestMessage("5551234567@vtext.com", "Ravenox Test message", "body text");
  });
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].to, "5551234567@vtext.com");
  EXPECT_EQ(sent[0].subject, "Ravenox Test message");
  EXPECT_EQ(sent[0].body, "body text");
  EXPECT_FALSE(p->TestPending());
  EXPECT_EQ(EngineRig::Count(*p, "ProcessCheckes"), 1);  // sent before any further pass
  EXPECT_EQ(EngineRig::Count(*p, "Sending Test"), 1);
}

TEST(EnginePass, WaitResetsTheEventUnlessStopping) {
  EngineRig rig;
  auto p = rig.Make();
  rig.event->signaled = true;
  p->WaitForNextPass();
  EXPECT_FALSE(rig.event->signaled);
  p->Stop();
  p->WaitForNextPass();
  EXPECT_TRUE(rig.event->signaled);
}

TEST(EngineLifetime, DestructionWritesTheDebugLog) {
  EngineRig rig;
  {
    auto p = rig.Make();
    p->DebugLog("hello");
  }
  std::ifstream in(rig.dir.path() / "DEBUG.LOG", std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  EXPECT_EQ(s.str(), FormatDateTime(rig.clock->Now()) + ": hello\r\n");
}

}  // namespace
}  // namespace ravenox::engine
