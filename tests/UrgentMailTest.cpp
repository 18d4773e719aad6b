#include <gtest/gtest.h>

#include "EngineFakes.h"

namespace ravenox::engine {
namespace {

using outlook::fake::FakeMail;
using testing::EngineRig;

const TDateTime kNow = EncodeDate(2026, 12, 8) + 0.5;

std::shared_ptr<FakeMail> Mail(EngineRig& rig, const std::string& subject,
                               const std::string& sender, int importance = 2, bool unread = true,
                               TDateTime received = kNow - 0.1) {
  auto m = rig.outlook->AddMail();
  m->subject = subject;
  m->sender_name = sender;
  m->importance = importance;
  m->unread = unread;
  m->received_time = received;
  return m;
}

TEST(CheckUrgentEmail, CheapWhenNothingIsUnread) {
  for (const bool with_mail : {false, true}) {
    EngineRig rig;
    rig.clock->Set(kNow);
    if (with_mail) Mail(rig, "read", "x", 2, false);
    auto p = rig.Make();
    p->CheckUrgentEmail();
    EXPECT_EQ(rig.outlook->faults->CountOf("Items.Count"), 1);
    EXPECT_EQ(rig.outlook->faults->CountOf("Folder.UnReadItemCount"), with_mail ? 1 : 0);
    EXPECT_EQ(rig.outlook->faults->CountOf("Items.Item"), 0);
  }
}

TEST(CheckUrgentEmail, WhatCountsAsUrgent) {
  EngineRig rig;
  rig.clock->Set(kNow);
  Mail(rig, "Exactly a day", "Boss", 2, true, kNow - 1.0);  // first: the scan takes time
  Mail(rig, "Server down", "Ops");
  Mail(rig, "Server down", "Ops");  // the same subject and sender: one message
  Mail(rig, "Lunch?", "Kim", 1);
  Mail(rig, "Already read", "Boss", 2, false);
  Mail(rig, "Yesterday", "Boss", 2, true, kNow - 1.0 - 1.0 / 86400000);
  auto p = rig.Make();
  p->CheckUrgentEmail();
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].subject, "Urgent Email:Exactly a day From:Boss");
  EXPECT_EQ(sent[1].subject, "Urgent Email:Server down From:Ops");
  EXPECT_EQ(sent[0].body, "");
  EXPECT_EQ(p->EmailList.Count(), 2);
  // 54 ms after each of the five unread mails.
  EXPECT_EQ(rig.clock->Now(), kNow + 5 * 0.054 / 86400);
  EXPECT_FALSE(p->Changed);
}

TEST(CheckUrgentEmail, LongTextsAreReportedOnce) {
  EngineRig rig;
  rig.clock->Set(kNow);
  const std::string subject(250, 's');
  Mail(rig, subject, "A sender");
  auto p = rig.Make();
  p->CheckUrgentEmail();
  p->CheckUrgentEmail();
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].subject, "Urgent Email:" + subject + " From:A sender");
  EXPECT_EQ(p->EmailList[0].Text.size(), 255u);
}

TEST(CheckUrgentEmail, AFailedSendStillRecordsTheMail) {
  EngineRig rig;
  rig.clock->Set(kNow);
  Mail(rig, "Server down", "Ops");
  rig.outlook->faults->FailOn("Mail.Send", 1);
  auto p = rig.Make();
  p->CheckUrgentEmail();
  p->CheckUrgentEmail();
  EXPECT_TRUE(rig.outlook->Sent().empty());
  EXPECT_EQ(p->EmailList.Count(), 1);
}

TEST(CheckUrgentEmail, RecordsExpireAfterADay) {
  EngineRig rig;
  rig.clock->Set(kNow);
  auto p = rig.Make();
  for (const auto& [text, seen] : std::vector<std::pair<std::string, double>>{
           {"exactly a day", kNow.Value() - 1.0}, {"older", kNow.Value() - 1.0 - 1e-6}}) {
    auto r = std::make_unique<TEmailItem>();
    r->Text = text;
    r->FirstSeen = seen;
    p->EmailList.Add(std::move(r));
  }
  p->CheckUrgentEmail();
  ASSERT_EQ(p->EmailList.Count(), 1);
  EXPECT_EQ(p->EmailList[0].Text, "exactly a day");
}

TEST(CheckUrgentEmail, AKeyPressStopsTheScan) {
  EngineRig rig;
  rig.clock->Set(kNow);
  Mail(rig, "Server down", "Ops");
  rig.input->SetKey(3, true);
  auto p = rig.Make();
  p->CheckUrgentEmail();
  EXPECT_TRUE(rig.outlook->Sent().empty());
  EXPECT_EQ(rig.outlook->faults->CountOf("Items.Item"), 0);
}

TEST(CheckUrgentEmail, OutlookErrorsEndThePassKeepingRecords) {
  EngineRig rig;
  rig.clock->Set(kNow);
  Mail(rig, "First", "Ops");
  Mail(rig, "Second", "Ops");
  int reads = 0;
  rig.outlook->faults->SetHook([&](const std::string& member) {
    if (member == "Mail.Importance" && ++reads == 2) throw outlook::AutomationError("gone");
  });
  auto p = rig.Make();
  EXPECT_THROW(p->CheckUrgentEmail(), outlook::AutomationError);
  EXPECT_EQ(p->EmailList.Count(), 1);
}

}  // namespace
}  // namespace ravenox::engine
