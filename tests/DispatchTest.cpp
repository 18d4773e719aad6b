#include <gtest/gtest.h>

#include <algorithm>

#include "EngineFakes.h"
#include "TestDay.h"

namespace ravenox::engine {
namespace {

using testing::EngineRig;

TEventItem& AddEvent(TOutlookProcessor& p, const std::string& text, TDateTime notify,
                     bool notified = false) {
  auto r = std::make_unique<TEventItem>();
  r->Text = text;
  r->StartTime = notify + kFifteenMinutes;
  r->NotifyTime = notify;
  r->Notified = notified;
  p.NotifyList.Add(std::move(r));
  return *p.NotifyList.Lookup(text);
}

TEST(SendNewEmail, SendsInOrderUnderTheLock) {
  EngineRig rig;
  auto p = rig.Make();
  EXPECT_TRUE(p->SendNewEmail("5551234567@vtext.com", "Subject line", ""));
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].to, "5551234567@vtext.com");
  EXPECT_EQ(sent[0].subject, "Subject line");
  EXPECT_EQ(sent[0].body, "");
  const std::vector<std::string> order = {"Connect",         "Application.CreateItem", "Mail.SetTo",
                                          "Mail.SetSubject", "Mail.SetBody",           "Mail.Send"};
  EXPECT_EQ(rig.outlook->faults->Calls(), order);
  EXPECT_EQ(rig.input->pauses, 20);  // the watch before it: a second of looks 50 ms apart
  EXPECT_EQ(EngineRig::Count(*p, "SendNewemail to 5551234567@vtext.com"), 1);
}

TEST(SendNewEmail, UserComingBackOrAStopEndsTheConfirmation) {
  struct Case {
    const char* name;
    std::function<void(EngineRig&, TOutlookProcessor&)> at_read_10;
  };
  const Case cases[] = {
      {"mouse moved", [](EngineRig& r, TOutlookProcessor&) { r.input->cursor.X += 1; }},
      {"key down", [](EngineRig& r, TOutlookProcessor&) { r.input->keys[200] = 0x80; }},
      {"stop requested", [](EngineRig&, TOutlookProcessor& p) { p.Stop(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    auto p = rig.Make();
    p->UserAway = true;
    rig.input->on_cursor_read = [&](long n, platform::CursorPoint&) {
      if (n == 10) c.at_read_10(rig, *p);
    };
    EXPECT_FALSE(p->SendNewEmail("a@b", "s", ""));
    EXPECT_EQ(rig.outlook->faults->CountOf("Application.CreateItem"), 0);
    EXPECT_LT(rig.input->pauses, 20);
  }
}

TEST(SendNewEmail, FailingSendShowsTheErrorOnceAndReportsFalse) {
  EngineRig rig;
  rig.outlook->faults->FailOn("Mail.Send", 1, "The message could not be sent.");
  auto p = rig.Make();
  EXPECT_FALSE(p->SendNewEmail("a@b", "s", ""));
  EXPECT_EQ(rig.host.Exceptions(), (std::vector<std::string>{"The message could not be sent."}));
  EXPECT_EQ(rig.host.Statuses().back(), "The message could not be sent.");
}

TEST(HandleNotify, TwoMinuteAndSixHourRules) {
  struct Case {
    const char* name;
    double offset;  // notify time minus now, in days
    bool notified_before;
    bool sent;
    bool notified_after;
    bool kept;
  };
  const double ms = 1.0 / 86400000.0;
  const double two = 2.0 / 1440.0;
  const Case cases[] = {
      {"exactly two minutes ahead", two, false, true, true, true},
      {"a moment more than two minutes ahead", two + ms, false, false, false, true},
      {"due now", 0, false, true, true, true},
      {"exactly two minutes past", -two, false, true, true, true},
      {"a moment more than two minutes past", -two - ms, false, false, true, true},
      {"already notified", 0, true, false, true, true},
      {"exactly six hours past", -kSixHours, false, false, true, true},
      {"more than six hours past", -kSixHours - ms, false, false, true, false},
      {"more than six hours past, notified", -kSixHours - ms, true, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(At(12, 0));
    auto p = rig.Make();
    AddEvent(*p, "meeting", rig.clock->Now() + c.offset, c.notified_before);
    p->HandleNotify();
    EXPECT_EQ(rig.outlook->Sent().size(), c.sent ? 1u : 0u);
    TEventItem* r = p->NotifyList.Lookup("meeting");
    EXPECT_EQ(r != nullptr, c.kept);
    if (r != nullptr) {
      EXPECT_EQ(r->Notified, c.notified_after);
    }
    EXPECT_EQ(p->Changed, c.sent);
    EXPECT_EQ(EngineRig::Count(*p, "meeting Already Notified"), c.offset < -two ? 1 : 0);
    if (c.sent) {
      EXPECT_EQ(rig.outlook->Sent()[0].subject, "meeting");
      EXPECT_EQ(rig.outlook->Sent()[0].to, rig.host.phone_address);
      EXPECT_EQ(rig.trace->lines, (std::vector<std::string>{"Event:meeting:Notificed"}));
    }
  }
}

TEST(HandleNotify, AFailedSendIsTriedOnceAndTheUserSeesIt) {
  EngineRig rig;
  rig.clock->Set(At(12, 0));
  rig.outlook->faults->FailOn("Mail.Send", 1);
  auto p = rig.Make();
  TEventItem& r = AddEvent(*p, "meeting", rig.clock->Now());
  EXPECT_FALSE(p->NotifyEvent(r));
  EXPECT_FALSE(r.Notified);  // the sender leaves the flag to its caller
  rig.outlook->faults->FailOn("Mail.Send", 1);
  p->HandleNotify();
  EXPECT_TRUE(p->NotifyList.Lookup("meeting")->Notified);
  EXPECT_EQ(rig.host.Exceptions().size(), 2u);
  p->HandleNotify();
  EXPECT_EQ(rig.outlook->faults->CountOf("Application.CreateItem"), 2);  // not tried again
  EXPECT_TRUE(rig.trace->lines.empty());
}

// A text held back before it went (the user came back, or nothing tells any more whether anyone
// is there) is not used up: a later away pass inside its two minutes still sends it, once.
TEST(HandleNotify, AHeldBackTextIsKeptForALaterAwayPass) {
  const struct {
    const char* name;
    std::function<void(EngineRig&)> hold;
    const char* logged;
  } cases[] = {
      {"the user came back",
       [](EngineRig& rig) {
         rig.input->on_cursor_read = [](long n, platform::CursorPoint& c) {
           if (n == 10) c.X += 5;
         };
       },
       "Text held back: the user came back"},
      {"nothing tells", [](EngineRig& rig) { rig.input->SetProblem("No input state"); },
       "Text held back: nothing tells whether the user is at the computer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(At(12, 0));
    auto p = rig.Make();
    AddEvent(*p, "meeting", rig.clock->Now());
    c.hold(rig);
    p->HandleNotify();
    EXPECT_TRUE(rig.outlook->Sent().empty());
    EXPECT_FALSE(p->NotifyList.Lookup("meeting")->Notified);
    EXPECT_EQ(EngineRig::Count(*p, c.logged), 1);
    rig.input->on_cursor_read = nullptr;
    rig.input->SetProblem("");
    rig.clock->Advance(kOneMinute);
    p->CheckAway();  // the next pass's, where the cursor now rests
    p->HandleNotify();
    p->HandleNotify();
    EXPECT_EQ(rig.outlook->Sent().size(), 1u);
    EXPECT_TRUE(p->NotifyList.Lookup("meeting")->Notified);
  }
}

// Every notification carries an identity the store's queue knows it by: what it is, the moment it
// is about and its record's text. A text the store could not queue (a full disk) is held back,
// with no box, and goes at a later pass.
TEST(HandleNotify, TextsCarryTheirIdentityAndAFullQueueHoldsThemBack) {
  EngineRig rig;
  rig.clock->Set(At(12, 0));
  auto p = rig.Make();
  TEventItem& r = AddEvent(*p, "meeting", rig.clock->Now());
  bool full = true;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send" && full) throw outlook::SendLater("Cannot queue the message: full");
  });
  p->HandleNotify();
  EXPECT_FALSE(r.Notified);
  EXPECT_TRUE(rig.host.Exceptions().empty());
  EXPECT_EQ(EngineRig::Count(*p, "Text held back: Cannot queue the message: full"), 1);
  full = false;
  p->HandleNotify();
  TTaskEvent task;
  task.Text = "Report:12/10/26";
  task.PreNotifyDay = At(0, 0);
  task.NextReminder = At(9, 0);
  p->NotifyTask(task, "pre-notification");
  p->NotifyTask(task, "task");
  p->NotifyFirstMeeting(r, "First:");
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].identity, TextIdentity("meeting", "meeting", r.StartTime));
  EXPECT_EQ(sent[0].identity, "meeting\t" + std::to_string(r.StartTime.Ticks()) + "\tmeeting");
  EXPECT_EQ(sent[1].identity, TextIdentity("pre-notification", task.Text, At(0, 0)));
  EXPECT_EQ(sent[2].identity, TextIdentity("task", task.Text, At(9, 0)));
  EXPECT_EQ(sent[3].identity, TextIdentity("first meeting", "meeting", r.StartTime));
}

TEST(HandleNotify, FirstMeetingNoticeMarksTheMeeting) {
  EngineRig rig;
  rig.clock->Set(At(7, 5));
  auto p = rig.Make();
  TEventItem& r = AddEvent(*p, "09:00:00@loc:Room:Plan ", At(8, 45));
  EXPECT_TRUE(p->NotifyFirstMeeting(r, "First:"));
  EXPECT_TRUE(r.Notified);
  rig.clock->Set(At(8, 45));
  p->HandleNotify();
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].subject, "First:09:00:00@loc:Room:Plan ");
}

TEST(HandleNotify, WalksFromTheLastRecordAndStopsWhenStopping) {
  EngineRig rig;
  rig.clock->Set(At(12, 0));
  auto p = rig.Make();
  AddEvent(*p, "a", rig.clock->Now());
  AddEvent(*p, "b", rig.clock->Now());
  AddEvent(*p, "c", rig.clock->Now());
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send") p->Stop();
  });
  p->HandleNotify();
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].subject, "c");
  EXPECT_FALSE(p->NotifyList.Lookup("a")->Notified);
}

TEST(NotifyTask, SendsTheTaskText) {
  EngineRig rig;
  auto p = rig.Make();
  TTaskEvent t;
  t.Text = "Report:12/10/26";
  EXPECT_TRUE(p->NotifyTask(t));
  EXPECT_TRUE(t.Notified);
  EXPECT_EQ(rig.outlook->Sent()[0].subject, "Report:12/10/26");
}

TEST(SendPendingTest, GoesOutWithoutConfirmationWhileTheUserTypes) {
  EngineRig rig;
  rig.clock->Set(At(23, 0));
  rig.input->SetKey(40, true);
  auto p = rig.Make();
  p->SendPendingTest();
  EXPECT_TRUE(rig.outlook->Sent().empty());
  p->RequestTestMessage("a@b", "Ravenox Test message",
                        "If you got this message Ravenox Notification is working.");
  EXPECT_TRUE(rig.event->signaled);
  p->SendPendingTest();
  ASSERT_EQ(rig.outlook->Sent().size(), 1u);
  EXPECT_EQ(rig.input->pauses, 0);
  EXPECT_FALSE(p->TestPending());
  EXPECT_EQ(rig.host.Statuses().front(), "Ravenox Test message");
}

// A request made while a test message is on its way is a new request, with a send of its own.
TEST(SendPendingTest, ARequestDuringASendGetsItsOwnSend) {
  EngineRig rig;
  auto p = rig.Make();
  bool asked_again = false;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Send" && !asked_again) {
      asked_again = true;
      p->RequestTestMessage("a@b", "second", "");
    }
  });
  p->RequestTestMessage("a@b", "first", "");
  p->SendPendingTest();
  EXPECT_TRUE(p->TestPending());
  p->SendPendingTest();
  EXPECT_FALSE(p->TestPending());
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].subject, "first");
  EXPECT_EQ(sent[1].subject, "second");
  p->SendPendingTest();
  EXPECT_EQ(rig.outlook->Sent().size(), 2u);
}

// A store that keeps its own outbox is given a turn at every pass: every try goes into the debug
// log, and while texts wait each pass ends saying how many and why.
TEST(PassOutbox, TriesAreLoggedAndWaitingTextsShown) {
  EngineRig rig;
  std::vector<std::pair<std::vector<std::string>, std::string>> passes = {
      {{"Outbox: m1 to a@b not handed on (try 1): relay down"}, "1 text waits in the outbox: down"},
      {{}, "1 text waits in the outbox: down"},
      {{"Outbox: m1 to a@b handed on (try 2)"}, ""}};
  std::size_t at = 0;
  rig.env.outbox_pass = [&](std::string& waiting) {
    waiting = passes[at].second;
    return passes[at++].first;
  };
  auto p = rig.Make();
  for (std::size_t i = 0; i < passes.size(); ++i) p->RunPass();
  EXPECT_EQ(at, 3u);
  EXPECT_EQ(EngineRig::Count(*p, "Outbox: m1 to a@b not handed on (try 1): relay down"), 1);
  EXPECT_EQ(EngineRig::Count(*p, "Outbox: m1 to a@b handed on (try 2)"), 1);
  EXPECT_EQ(EngineRig::Count(*p, "1 text waits in the outbox: down"), 1);  // when it changed
  EXPECT_EQ(EngineRig::Count(*p, "Outbox empty"), 1);
  const auto statuses = rig.host.Statuses();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "1 text waits in the outbox: down"), 2);
  EXPECT_EQ(statuses.back(), "Processor Idle.");
}

// A text is on disk as sent the moment it went out, not only when its pass ends: a store that
// cannot tell a text it already took (Outlook) would send it again after a crash in between.
TEST(SaveSent, EachTextIsRecordedOnDiskRightAfterItGoesOut) {
  const TDateTime now = EncodeDate(2026, 12, 8) + 0.5;
  struct Case {
    const char* name;
    std::function<void(EngineRig&, TOutlookProcessor&)> send;
    std::function<bool(TOutlookProcessor&)> recorded;  // read back by an engine started afresh
  };
  const Case cases[] = {
      {"meeting",
       [&](EngineRig& rig, TOutlookProcessor& p) {
         rig.host.meeting = true;
         auto r = std::make_unique<TEventItem>();
         r->Text = "12:15:00@loc:HQ:Review ";
         r->StartTime = now + 15.0 / 1440;
         r->NotifyTime = now;
         p.NotifyList.Add(std::move(r));
         p.HandleNotify();
       },
       [](TOutlookProcessor& p) {
         p.LoadNotify();
         return p.NotifyList.Count() == 1 && p.NotifyList[0].Notified;
       }},
      {"task",
       [&](EngineRig& rig, TOutlookProcessor& p) {
         rig.host.task = true;
         auto r = std::make_unique<TTaskEvent>();
         r->Text = "File the report:12/08/26";
         r->DueDay = now + 1.0;
         r->NextReminder = now - 1.0 / 1440;
         r->PreNotifyDay = now + 1.0;
         r->EventDate = now + 1.0;
         p.TaskList.Add(std::move(r));
         p.TaskReminders();
       },
       [](TOutlookProcessor& p) {
         p.LoadTasks();
         return p.TaskList.Count() == 1 && p.TaskList[0].Notified;
       }},
      {"urgent mail",
       [&](EngineRig& rig, TOutlookProcessor& p) {
         auto m = rig.outlook->AddMail();
         m->subject = "Server down";
         m->sender_name = "Ops";
         m->importance = outlook::olImportanceHigh;
         m->received_time = now - 0.01;
         p.CheckUrgentEmail();
       },
       [](TOutlookProcessor& p) {
         p.LoadEmail();
         return p.EmailList.Count() == 1;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineRig rig;
    rig.clock->Set(now);
    {
      auto p = rig.Make();
      c.send(rig, *p);
      ASSERT_EQ(rig.outlook->Sent().size(), 1u);
      auto again = rig.Make();  // over the same folder, while the first has saved nothing more
      EXPECT_TRUE(c.recorded(*again));
    }
  }
}

}  // namespace
}  // namespace ravenox::engine
