// The wizard's page "Your calendar and mail": the sources it finds and adds, and a test text
// through the account entered on it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "WizardRig.h"

namespace ravenox::wizard {
namespace {

using namespace ravenox::wizard::rig;

// The local store's profile as the page sees it, recorded.
struct FakeStore final : TStoreSetup {
  TStoreFields Load() override { return stored; }
  std::string Check(const TStoreFields&) override { return save_error; }
  std::vector<std::string> Unreadable(const TStoreFields&) override { return unreadable; }
  void Keep(const TStoreFields& f) override { saved.push_back(f); }
  std::string Commit() override { return {}; }
  void Discard() override {}
  std::string SendTest(const TStoreFields& f, const std::string& address) override {
    tested.push_back(f.server + " to " + address);
    return send_error;
  }
  std::vector<Found> Suggestions() override {
    return {{"Evolution", "/e/calendar.ics", false}, {"Evolution tasks", "/e/tasks.ics", true}};
  }
  std::vector<DesktopSource> DesktopSources() override { return desktop; }
  std::vector<DesktopSource> desktop;
  TStoreFields stored;
  std::vector<TStoreFields> saved;  // what the page kept for the end of the run
  std::vector<std::string> tested, unreadable;
  std::string save_error, send_error;
};

// With the local store, "Your calendar and mail" comes before the meetings page, whichever page
// the address was given on; it shows the profile, adds what was found, sends a test, and saves
// only by Next (a save that fails keeps the page).
TEST(Wizard, TheLocalStorePageComesBeforeTheMeetings) {
  Rig rig;
  FakeStore store;
  store.stored.calendars = "/home/me/cal.ics";
  store.stored.inbox = "/home/me/Mail";
  store.stored.sendmail = "/usr/bin/msmtp;-t";
  rig.context.store_setup = &store;
  rig.Open();
  auto& in = rig.installer;
  ASSERT_NE(in.StorePage, nullptr);
  const std::vector<std::pair<const char*, std::function<TGenericFrame*()>>> steps = {
      {"other",
       [&] {
         rig.Next(), rig.Carrier(8), rig.Next();
         return in.CustomPage.data();
       }},
      {"custom next",
       [&] {
         in.CustomPage->CustomEmail->setText("phone@example.org");
         rig.Next();
         return in.StorePage.data();
       }},
      {"store back",
       [&] {
         rig.Back();
         return in.CustomPage.data();
       }},
      {"custom next again",
       [&] {
         rig.Next();
         return in.StorePage.data();
       }},
      {"store next",
       [&] {
         rig.Next();
         return in.MeetingPage.data();
       }},
      {"meetings back",
       [&] {
         rig.Back();
         return in.StorePage.data();
       }},
      {"store back to custom",
       [&] {
         rig.Back(), rig.Back();
         return in.ProviderPage.data();
       }},
      {"at&t",
       [&] {
         rig.Carrier(0), rig.Next();
         return in.PersonalPage.data();
       }},
      {"number next",
       [&] {
         rig.Number("5551234567"), rig.Next();
         return in.StorePage.data();
       }},
      {"store back (at&t)",
       [&] {
         rig.Back();
         return in.PersonalPage.data();
       }},
  };
  for (const auto& [what, act] : steps) {
    SCOPED_TRACE(what);
    TGenericFrame* expected = act();
    ASSERT_EQ(rig.Page(), expected);
  }
  rig.Next();
  TLocalStorePage& page = *in.StorePage;
  ASSERT_EQ(rig.Page(), &page);
  EXPECT_EQ(page.Calendars->text(), "/home/me/cal.ics");
  EXPECT_EQ(page.Sendmail->text(), "/usr/bin/msmtp;-t");
  EXPECT_TRUE(page.rbSendmail->isChecked());
  EXPECT_FALSE(page.Server->isEnabled());
  page.Found->activated(2);  // Evolution's task list
  page.Found->activated(1);  // Evolution's calendar
  EXPECT_EQ(page.Tasks->text(), "/e/tasks.ics");
  EXPECT_EQ(page.Calendars->text(), "/home/me/cal.ics;/e/calendar.ics");
  rig.Click(page.rbAccount);
  EXPECT_TRUE(page.Server->isEnabled());
  page.Server->setText("smtp.example.org");
  page.User->setText("me");
  page.Password->setText("secret");
  const std::size_t saves = store.saved.size();
  store.send_error = "Login denied";
  rig.Click(page.SendTest);
  EXPECT_EQ(page.TestResult->text(), "Not sent: Login denied");
  store.send_error.clear();
  rig.Click(page.SendTest);
  EXPECT_EQ(page.TestResult->text(), "Sent to 5551234567@mobile.att.net. Check your phone.");
  EXPECT_EQ(store.tested.back(), "smtp.example.org to 5551234567@mobile.att.net");
  EXPECT_EQ(store.saved.size(), saves);  // nothing stored by a test
  store.save_error = "Enter the server of your mail account.";
  const QString server = page.Server->text();
  page.Server->clear();
  rig.Next();
  EXPECT_EQ(rig.Page(), &page);
  EXPECT_EQ(rig.boxes.shown.back(), "error: Enter the server of your mail account.");
  EXPECT_EQ(QApplication::focusWidget(), page.Server);
  page.Server->setText(server);
  store.save_error.clear();
  // A source that cannot be read is named, and kept only when the user says so.
  store.unreadable = {"/home/me/gone.ics: No such file or directory"};
  rig.boxes.answer = false;
  rig.Next();
  EXPECT_EQ(rig.Page(), &page);
  EXPECT_EQ(rig.boxes.shown.back(),
            "Warning: This cannot be read now:\n\n/home/me/gone.ics: No such file or directory"
            "\n\nKeep it anyway? Ravenox reads what it can, and its status line says what it "
            "cannot.");
  EXPECT_EQ(store.saved.size(), saves);
  rig.boxes.answer = true;
  rig.Next();
  EXPECT_EQ(rig.Page(), in.MeetingPage);
  ASSERT_EQ(store.saved.size(), saves + 1);
  const TStoreFields& f = store.saved.back();
  EXPECT_TRUE(f.account);
  EXPECT_EQ(f.server, "smtp.example.org");
  EXPECT_EQ(f.port, 587);
  EXPECT_EQ(f.user, "me");
  EXPECT_EQ(f.password, "secret");
  EXPECT_EQ(f.calendars, "/home/me/cal.ics;/e/calendar.ics");
  EXPECT_EQ(f.tasks, "/e/tasks.ics");
}

// The desktop's calendars and task lists are listed by name and account. A profile that names
// none of them starts with those the desktop shows ticked; one that names some ticks those, and
// keeps in its fields one the desktop no longer has.
TEST(Wizard, TheDesktopsCalendarsAreTickedInTheirList) {
  FakeStore store;
  store.desktop = {{"eds:work", "Work", "On This Computer", false, true},
                   {"eds:old", "Old plans", "On This Computer", false, false},
                   {"eds:team", "Team", "me@example.org", false, true},
                   {"eds:chores", "Chores", "On This Computer", true, true}};
  struct Row {
    const char* name;
    const char *calendars, *tasks;  // in the profile
    const char* field;              // the calendars' field shows
    std::vector<bool> ticks;        // as the page shows them
    int untick;                     // then unticked (-1: none)
    const char *saved_calendars, *saved_tasks;
  } const rows[] = {
      {"none named: as the desktop shows",
       "/home/me/cal.ics",
       "",
       "/home/me/cal.ics",
       {true, false, true, true},
       -1,
       "/home/me/cal.ics;eds:work;eds:team",
       "eds:chores"},
      {"some named, one gone",
       "eds:gone;eds:old",
       "",
       "eds:gone",
       {false, true, false, false},
       1,
       "eds:gone",
       ""},
      {"a named one unticked",
       "eds:work;eds:team",
       "eds:chores",
       "",
       {true, false, true, true},
       0,
       "eds:team",
       "eds:chores"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Rig rig;
    store.stored.calendars = r.calendars;
    store.stored.tasks = r.tasks;
    store.stored.sendmail = "/usr/sbin/sendmail";
    rig.context.store_setup = &store;
    rig.Open();
    rig.Next(), rig.Carrier(0), rig.Next(), rig.Number("5551234567"), rig.Next();
    TLocalStorePage& page = *rig.installer.StorePage;
    ASSERT_EQ(rig.Page(), &page);
    EXPECT_EQ(page.Calendars->text(), r.field);
    ASSERT_EQ(page.Desktop->count(), 4);
    EXPECT_EQ(page.Desktop->item(2)->text(), "Team (me@example.org)");
    EXPECT_EQ(page.Desktop->item(3)->text(), "Chores (On This Computer) \u2013 tasks");
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(page.Desktop->item(i)->checkState() == Qt::Checked, r.ticks[i]) << i;
    if (r.untick >= 0) page.Desktop->item(r.untick)->setCheckState(Qt::Unchecked);
    rig.Next();
    ASSERT_FALSE(store.saved.empty());
    EXPECT_EQ(store.saved.back().calendars, r.saved_calendars);
    EXPECT_EQ(store.saved.back().tasks, r.saved_tasks);
  }
}

TEST(Wizard, BrowseAddsToTheSourcesThatAreThere) {
  testing::TempDir dir;
  const QString there = QString::fromStdString((dir.path() / "a.ics").string());
  std::ofstream(dir.path() / "a.ics") << "";
  const QString gone = QString::fromStdString((dir.path() / "typo.ics").string());
  const QString picked = QString::fromStdString((dir.path() / "b.ics").string());
  EXPECT_EQ(TLocalStorePage::WithPicked(there + ";" + gone, picked), there + ";" + picked);
  EXPECT_EQ(TLocalStorePage::WithPicked(gone, picked), picked);
  EXPECT_EQ(TLocalStorePage::WithPicked("", picked), picked);
  EXPECT_EQ(TLocalStorePage::WithPicked(picked + ";" + there, picked), there + ";" + picked);
}

// A newcomer enters an SMTP account on the page and the test message goes through it, to a server
// with STARTTLS and a login; the profile keeps the account and nothing typed becomes a key of it.
TEST(Wizard, ATestThroughTheAccountEnteredOnThePage) {
  if (!testing::HaveSmtpTools()) GTEST_SKIP() << "openssl or aiosmtpd missing";
  testing::TempDir dir;
  testing::TestCertificate certificate(dir.path());
  ASSERT_TRUE(certificate.ok);
  testing::SmtpSink sink(dir.path() / "sink.log", testing::FreePort(),
                         {"starttls", certificate.cert.string(), certificate.key.string()});
  ASSERT_TRUE(sink.up());
  const auto profile = dir.path() / "store.conf";
  std::ofstream(profile) << "# my store\n[Store]\noutbox=" << (dir.path() / "Out").string()
                         << "\nsent=" << (dir.path() / "Sent").string()
                         << "\nfrom=ravenox@example.org\nsmtp_ca_file=" << certificate.cert.string()
                         << "\n";
  shell::LocalStoreSetup setup(profile);
  Rig rig;
  rig.settings.SetService(8);
  rig.settings.SetCustomEmail("5551234567@vtext.com");
  rig.context.store_setup = &setup;
  rig.Open();
  rig.Next();
  rig.Next();
  rig.Next();  // the carrier stored, the address stored: to the store's page
  TLocalStorePage& page = *rig.installer.StorePage;
  ASSERT_EQ(rig.Page(), &page);
  rig.Click(page.rbAccount);
  page.Server->setText("127.0.0.1");
  page.Port->setText(QString::number(sink.port()));
  page.User->setText("me");
  page.Password->setText("secret");
  page.Calendars->setText("/cal.ics\nsendmail=/bin/sh");  // a key of its own? never
  rig.Click(page.SendTest);
  EXPECT_EQ(page.TestResult->text(), "Sent to 5551234567@vtext.com. Check your phone.");
  sink.Stop();
  const std::string log = testing::ReadAll(dir.path() / "sink.log");
  EXPECT_NE(log.find("Subject: Ravenox Test message"), std::string::npos) << log;
  EXPECT_NE(log.find("If you got this message Ravenox Notification is working."), std::string::npos)
      << log;
  EXPECT_NE(log.find("X-RcptTo: 5551234567@vtext.com"), std::string::npos) << log;
  // Next keeps what the page says for the end of the run (the calendar that cannot be read is
  // kept once the user says so); nothing is written before Done.
  const std::string before = testing::ReadAll(profile);
  rig.boxes.answer = true;
  rig.Next();
  EXPECT_EQ(rig.Page(), rig.installer.MeetingPage);
  EXPECT_EQ(testing::ReadAll(profile), before);
  // Done: the account in the profile (the password in the keyring, or an error saying there is
  // none here), the profile's comment and its own keys with it; a second Done writes nothing.
  const std::string error = setup.Commit();
  const std::string kept = testing::ReadAll(profile);
  EXPECT_NE(kept.find("# my store"), std::string::npos) << kept;
  EXPECT_NE(kept.find("smtp_ca_file="), std::string::npos) << kept;
  EXPECT_EQ(kept.find("\nsendmail=/bin/sh"), std::string::npos) << kept;
  EXPECT_NE(kept.find("smtp_server=127.0.0.1"), std::string::npos) << kept;
  EXPECT_EQ(kept.find("secret"), std::string::npos) << kept;  // never in a file of ours
  if (!error.empty()) {
    EXPECT_NE(error.find("keyring"), std::string::npos) << error;
  }
  std::filesystem::remove(profile);
  EXPECT_EQ(setup.Commit(), "");
  EXPECT_FALSE(std::filesystem::exists(profile));
}

}  // namespace
}  // namespace ravenox::wizard
