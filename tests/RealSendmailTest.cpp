// A real sendmail (msmtp) delivering the engine's texts to a local SMTP sink, killed at any moment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmime/gmime.h>

#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "DesktopPeers.h"
#include "EngineFakes.h"
#include "OutboxFakes.h"
#include "SmtpSink.h"
#include "base/Formats.h"
#include "outlook/localstore/LocalStore.h"
#include "outlook/outbox/Compose.h"
#include "outlook/outbox/Sender.h"
#include "outlook/outbox/Support.h"

namespace outlook::localstore {
namespace {

// The outbox, as the store that sends through it sets it up, and its tests' peers.
using namespace outlook::outbox;
using namespace outlook::outbox::testing;

bool HaveRealTools() {
  return ::access("/usr/bin/msmtp", X_OK) == 0 &&
         std::system("/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null") == 0;
}

std::vector<std::string> Msmtp(const std::filesystem::path& dir, int port) {
  std::ofstream(dir / "msmtprc") << "";
  return {"/usr/bin/msmtp",
          "--file=" + (dir / "msmtprc").string(),
          "--host=127.0.0.1",
          "--port=" + std::to_string(port),
          "--auth=off",
          "--tls=off",
          "--from=ravenox@example.org"};
}

TEST(RealSendmail, EngineNotificationReachesTheSinkOnce) {
  if (!HaveRealTools()) GTEST_SKIP() << "msmtp or aiosmtpd missing";
  TempDir dir;
  SmtpSink sink(dir.path() / "sink.log");
  ASSERT_TRUE(sink.up());

  // A calendar with one meeting due now, written as a user's program would.
  setenv("TZ", "UTC", 1);
  tzset();
  std::ofstream(dir.path() / "calendar.ics")
      << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:1\r\n"
         "SUMMARY:Plan\\nBcc: victim@example.org\r\nLOCATION:Room 4\r\n"
         "DTSTART:20261208T121500Z\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\n"
         "END:VALARM\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  StoreProfile profile;
  profile.calendars = {dir.path() / "calendar.ics"};
  profile.outbox = dir.path() / "Outbox";
  profile.sent = dir.path() / "Sent";
  profile.from = "ravenox@example.org";
  profile.sendmail = Msmtp(dir.path(), sink.port());

  ravenox::testing::EngineRig rig;
  rig.env.connector = [&] { return OpenLocalStore(profile, rig.Now()); };
  rig.host.meeting = true;
  rig.host.phone_address = "5551234567@vtext.com";
  rig.clock->Set(ravenox::EncodeDateTime(2026, 12, 8, 12, 0));
  auto p = rig.Make();
  p->LastCursor = rig.input->cursor;
  rig.event->on_wait = [&](int) { p->Stop(); };
  p->RunPass();
  EXPECT_TRUE(rig.host.Exceptions().empty()) << rig.host.Exceptions()[0];
  unsetenv("TZ");
  tzset();

  for (int i = 0;
       i < 250 && Count(ReadAll(dir.path() / "sink.log"), "---------- MESSAGE FOLLOWS") < 1; ++i)
    std::this_thread::sleep_for(20ms);
  sink.Stop();
  const std::string log = ReadAll(dir.path() / "sink.log");
  EXPECT_EQ(Count(log, "---------- MESSAGE FOLLOWS"), 1) << log;
  EXPECT_EQ(Count(log, "X-RcptTo: 5551234567@vtext.com"), 1) << log;
  EXPECT_EQ(Count(log, "victim@example.org"), 1) << log;  // in the subject text only
  EXPECT_EQ(Count(log, "\nSubject: "), 1) << log;
  EXPECT_NE(log.find("Subject: " + ravenox::FormatLongTime(ravenox::EncodeTime(12, 15, 0)) +
                     "@loc:Room 4:Plan Bcc: victim@example.org"),
            std::string::npos)
      << log;
  EXPECT_EQ(Files(dir.path() / "Sent" / "cur"), 1);
}

// Texts queued while the relay is down arrive once it is back, each exactly once.
TEST(RealSendmail, TextsQueuedWhileTheSinkIsDownArriveOnceItIsBack) {
  if (!HaveRealTools()) GTEST_SKIP() << "msmtp or aiosmtpd missing";
  TempDir dir;
  const int port = FreePort();  // nothing listens there yet
  auto settings = Settings(dir.path(), Msmtp(dir.path(), port));
  settings.retry = 0s;
  for (int i = 0; i < 3; ++i)
    EXPECT_NO_THROW(SendMessage(settings, "5551234567@vtext.com", "Text " + std::to_string(i), ""));
  OutboxReport r = OutboxPass(settings);
  EXPECT_EQ(r.waiting, 3u);
  EXPECT_NE(r.why.find("the sendmail program failed"), std::string::npos) << r.why;
  SmtpSink sink(dir.path() / "sink.log", port);
  ASSERT_TRUE(sink.up());
  r = OutboxPass(settings);
  EXPECT_EQ(r.waiting, 0u);
  EXPECT_EQ(OutboxPass(settings).log.size(), 0u);  // nothing more to do
  sink.Stop();
  std::string log = ReadAll(dir.path() / "sink.log");
  std::erase(log, '\r');
  EXPECT_EQ(Count(log, "---------- MESSAGE FOLLOWS"), 3) << log;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Count(log, "Subject: Text " + std::to_string(i) + "\n"), 1);
  EXPECT_EQ(Files(settings.sent / "cur"), 3);
}

// The program the kill test kills (it does nothing unless that test starts it): a pass over the
// outbox, as a program's first, then one text after another until it is killed.
TEST(RealSendmail, KillTestProgram) {
  const char* dir = std::getenv("RAVENOX_KILL_TEST_DIR");
  if (dir == nullptr) GTEST_SKIP() << "started by KilledAtAnyMomentNothingIsLostOrSentTwice";
  auto settings = Settings(dir, Msmtp(dir, std::atoi(std::getenv("RAVENOX_KILL_TEST_PORT"))));
  settings.retry = 0s;
  const std::string run = std::getenv("RAVENOX_KILL_TEST_RUN");
  OutboxPass(settings);
  std::ofstream(std::filesystem::path(dir) / ("started-" + run)) << "";
  for (int n = 0;; ++n)
    SendMessage(settings, "5551234567@vtext.com", "Run " + run + " text " + std::to_string(n), "");
}

// Killed (SIGKILL) at random moments while it queues, hands on and moves messages, 200 times,
// each time started again: every message queued reaches the relay exactly once.
TEST(RealSendmail, KilledAtAnyMomentNothingIsLostOrSentTwice) {
  if (!HaveRealTools()) GTEST_SKIP() << "msmtp or aiosmtpd missing";
  TempDir dir;
  SmtpSink sink(dir.path() / "sink.log");
  ASSERT_TRUE(sink.up());
  std::mt19937 random(20261208u);
  std::string self(4096, '\0');
  self.resize(static_cast<std::size_t>(readlink("/proc/self/exe", self.data(), self.size())));
  for (int run = 0; run < 200; ++run) {
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("RAVENOX_KILL_TEST_DIR", dir.path().c_str(), 1);
      setenv("RAVENOX_KILL_TEST_PORT", std::to_string(sink.port()).c_str(), 1);
      setenv("RAVENOX_KILL_TEST_RUN", std::to_string(run).c_str(), 1);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      execl(self.c_str(), self.c_str(), "--gtest_filter=RealSendmail.KillTestProgram",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // Mostly while it sends (after its first pass, however long a start takes in this build),
    // now and then while it starts and takes up what the last one left.
    const auto started = dir.path() / ("started-" + std::to_string(run));
    if (std::uniform_int_distribution<int>(0, 3)(random) > 0) {
      for (int i = 0; i < 500 && !std::filesystem::exists(started); ++i)
        std::this_thread::sleep_for(2ms);
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 60)(random)));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  // Started once more: what waits is handed on, also what the keepers of killed runs, still at
  // work, put back when they are done.
  auto settings = Settings(dir.path(), Msmtp(dir.path(), sink.port()));
  settings.retry = 0s;
  for (int i = 0; i < 200; ++i) {
    if (OutboxPass(settings).waiting == 0 && Files(settings.outbox / "cur") == 0) break;
    std::this_thread::sleep_for(50ms);
  }
  // The relay's count settles once the last sendmail programs of killed runs are done.
  std::string log;
  for (int quiet = 0; quiet < 10;) {
    std::this_thread::sleep_for(100ms);
    const std::string now = ReadAll(dir.path() / "sink.log");
    quiet = now == log ? quiet + 1 : 0;
    log = now;
  }
  sink.Stop();
  std::erase(log, '\r');
  // Every message the store holds (sent, waiting, being handed on, failed), by its subject.
  std::set<std::string> queued;
  std::map<std::string, std::string> where;
  for (const auto& folder : {settings.sent / "cur", settings.outbox / "new",
                             settings.outbox / "cur", dir.path() / "Failed" / "cur"}) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
      if (e.path().filename().string()[0] == '.') continue;  // a write cut short: never queued
      const std::string text = ReadAll(e.path());
      const auto at = text.find("Subject: ");
      if (at != std::string::npos) {
        queued.insert(text.substr(at, text.find('\n', at) - at));
        where[text.substr(at, text.find('\n', at) - at)] = e.path().string();
      }
    }
  }
  int lost = 0, doubled = 0;
  for (const auto& subject : queued) {
    const int arrived = Count(log, "\n" + subject + "\n");
    lost += arrived == 0 ? 1 : 0;
    if (arrived == 0) ADD_FAILURE() << "lost: " << subject << " in " << where[subject];
    doubled += arrived > 1 ? 1 : 0;
  }
  std::printf("kill test: 200 kills, %zu messages queued, %d lost, %d sent twice\n", queued.size(),
              lost, doubled);
  EXPECT_GT(queued.size(), 100u);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(doubled, 0);
  EXPECT_EQ(Count(log, "---------- MESSAGE FOLLOWS"), static_cast<int>(queued.size()));
  EXPECT_EQ(OutboxPass(settings).waiting, 0u);
  EXPECT_EQ(Files(settings.outbox / "cur"), 0);
}

}  // namespace
}  // namespace outlook::localstore
