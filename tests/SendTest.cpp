// The outbox: what reaches the sendmail program, what waits, what is given up, and the bounces.
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

// A delivery status notification as Postfix writes one (`exim` false) or as Exim does, about the
// message `id` to `to`, with `action` for the recipient.
std::string Dsn(bool exim, const std::string& id, const std::string& to,
                const std::string& action) {
  const std::string report =
      exim ? "Reporting-MTA: dns; mx.example.net\n\nAction: " + action +
                 "\nFinal-Recipient: rfc822;" + to +
                 "\nStatus: 5.0.0\nRemote-MTA: dns; gw.carrier.example\nDiagnostic-Code: smtp; " +
                 "550 5.1.1 <" + to + ">: gateway closed\n"
           : "Reporting-MTA: dns; mail.example.net\nX-Postfix-Queue-ID: 4F1A2B\n\nFinal-Recipient: "
             "rfc822; " +
                 to + "\nOriginal-Recipient: rfc822;" + to + "\nAction: " + action +
                 "\nStatus: 5.1.1\nRemote-MTA: dns; gw.carrier.example\nDiagnostic-Code: smtp; 550 "
                 "5.1.1 <" +
                 to + ">: Recipient address\n    rejected: gateway closed\n";
  const std::string original =
      exim ? "Content-Type: message/rfc822\n\nFrom: ravenox@example.org\nTo: " + to +
                 "\nSubject: Meeting\nMessage-ID: <" + id + ">\n\nbody\n"
           : "Content-Description: Undelivered Message Headers\nContent-Type: "
             "text/rfc822-headers\n\n"
             "From: ravenox@example.org\nTo: " +
                 to + "\nSubject: Meeting\nMessage-ID: <" + id + ">\n";
  return "From: Mail Delivery System <MAILER-DAEMON@mail.example.net>\nTo: ravenox@example.org\n"
         "Subject: Undelivered Mail Returned to Sender\nMIME-Version: 1.0\n"
         "Content-Type: multipart/report; report-type=delivery-status; boundary=\"B0\"\n\n"
         "--B0\nContent-Type: text/plain\n\nYour message could not be delivered.\n\n"
         "--B0\nContent-Type: message/delivery-status\n\n" +
         report + "\n--B0\n" + original + "\n--B0--\n";
}

TEST(Compose, NoTextCanAddAHeaderOrARecipient) {
  const std::string message =
      ComposeMessage("me@example.org", "5551234567@vtext.com",
                     "09:00@loc:Room\r\nBcc: victim@example.org\r\nX-Evil: 1:Plan", "");
  const std::string head = message.substr(0, message.find("\n\n"));
  EXPECT_EQ(head.find("\nBcc:"), std::string::npos) << head;
  EXPECT_EQ(head.find("\nX-Evil:"), std::string::npos) << head;
  EXPECT_NE(head.find("To: 5551234567@vtext.com"), std::string::npos) << head;
  for (const char* h :
       {"From: ", "Date: ", "Message-ID: ", "MIME-Version: 1.0", "Content-Type: text/plain"})
    EXPECT_NE(head.find(h), std::string::npos) << h << "\n" << head;
  const std::string encoded = ComposeMessage("me@example.org", "a@b.c", "Caf\xC3\xA9 at 9", "");
  EXPECT_NE(encoded.find("Subject: =?"), std::string::npos) << encoded;
}

// Texts that try to break out of their header, through folding and encoded words, in plain ASCII
// and otherwise: each message has exactly its own headers, once each, in 7-bit lines of at most
// 998 bytes, and reads back as the text it was given; a body with a NUL arrives whole.
TEST(Compose, HostileTextsStayInTheirHeader) {
  const std::string long_word(255, 'x');
  const std::string subjects[] = {
      "=?7?Q? \xE2\x80\xA6 =B?=cc:victim@evil.example",
      "=?x?B? abc\xE5\xAD\x97 def\xE5\xAD\x97",
      "a =?utf-8?q?=0D=0ABcc:_victim@evil.example?= b",
      "?= =? ?=\r\nBcc: victim@evil.example\r\n\r\nbody",
      "Caf\xC3\xA9 \xF0\x9F\x98\x80 at 9 \xFF\xFE broken bytes",
      long_word,
      "   blanks   around   ",
      "",
  };
  static const char kBody[] = "If you got this\0message it arrived whole \xC3\xA9";
  const std::string body(kBody, sizeof kBody - 1);
  for (const auto& subject : subjects) {
    SCOPED_TRACE(subject);
    const std::string message =
        ComposeMessage("Ravenox \"Bot\" <bot@example.org>", "5551234567@vtext.com", subject, body);
    const std::string head = message.substr(0, message.find("\n\n") + 1);
    std::map<std::string, int> seen;
    std::istringstream lines(head);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_LE(line.size(), 998u);
      for (const char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << line;
      if (!line.empty() && line[0] == ' ') continue;  // a folded line goes on its header
      ++seen[line.substr(0, line.find(':'))];
    }
    const std::map<std::string, int> expected = {
        {"From", 1},         {"To", 1},
        {"Subject", 1},      {"Date", 1},
        {"Message-ID", 1},   {"MIME-Version", 1},
        {"Content-Type", 1}, {"Content-Transfer-Encoding", 1}};
    EXPECT_EQ(seen, expected) << head;
    EXPECT_NE(head.find("@example.org>\n"), std::string::npos) << head;  // the Message-ID's domain
    EXPECT_NE(head.find("charset=utf-8"), std::string::npos) << head;

    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(message.data(), message.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
    ASSERT_NE(parsed, nullptr);
    gchar* clean = g_utf8_make_valid(subject.data(), static_cast<gssize>(subject.size()));
    std::string expected_subject = HeaderSafe(clean);
    g_free(clean);
    std::string got = g_mime_message_get_subject(parsed) ? g_mime_message_get_subject(parsed) : "";
    auto trim = [](std::string t) {
      t.erase(0, t.find_first_not_of(' '));
      t.erase(t.find_last_not_of(' ') + 1);
      return t;
    };
    EXPECT_EQ(trim(got), trim(expected_subject));
    GMimeDataWrapper* content =
        g_mime_part_get_content(GMIME_PART(g_mime_message_get_mime_part(parsed)));
    GMimeStream* out = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, out);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data), bytes->len), body);
    g_object_unref(out);
    g_object_unref(parsed);
    g_object_unref(parser);
    g_object_unref(stream);
  }
}

TEST(SendMessage, HandsTheMessageToSendmailAfterDoubleDash) {
  TempDir dir;
  const auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), 0).string(), "-i"});
  SendMessage(settings, "5551234567@vtext.com", "Meeting at 9", "");
  EXPECT_EQ(ReadAll(dir.path() / "argv"), "-i\n--\n5551234567@vtext.com\n");
  EXPECT_NE(ReadAll(dir.path() / "stdin").find("Subject: Meeting at 9"), std::string::npos);
  EXPECT_EQ(Files(settings.outbox / "new"), 0);
  EXPECT_EQ(Files(settings.sent / "cur"), 1);
}

// A sendmail that hands the message to a background child and exits has accepted it, though the
// child still holds its output.
TEST(SendMessage, AcceptedWhenTheProgramExitsWhateverHoldsItsOutput) {
  TempDir dir;
  auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), 0, "(sleep 8 &)\n").string()});
  settings.timeout = 6s;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(SendMessage(settings, "5551234567@vtext.com", "s", ""));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(Files(settings.outbox / "new"), 0);
  EXPECT_EQ(Files(settings.sent / "cur"), 1);
}

// A bad address is refused at once; a program that fails or hangs leaves the message waiting in
// the outbox, and the outbox says why; no program at all is an error, the message waiting.
TEST(SendMessage, FailuresKeepTheMessageInTheOutbox) {
  struct Case {
    const char* name;
    std::string to;
    int status;
    std::string extra;
    std::string expected;
    bool queued;
  };
  const Case cases[] = {
      {"empty address", "", 0, "", "not a valid e-mail address", false},
      {"no domain", "5551234567@", 0, "", "not a valid e-mail address", false},
      {"two recipients", "a@b.c, d@e.f", 0, "", "not a valid e-mail address", false},
      {"an option in disguise", "-oQ/tmp@x", 0, "", "not a valid e-mail address", false},
      {"sendmail fails", "a@b.c", 75, "", "exit status 75): relay said no", true},
      {"sendmail hangs", "a@b.c", 0, "sleep 30\n", "did not finish", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), c.status, c.extra).string()});
    settings.timeout = 1s;
    if (c.queued) {
      EXPECT_NO_THROW(SendMessage(settings, c.to, "s", ""));
      const OutboxReport r = OutboxPass(settings);
      EXPECT_EQ(r.waiting, 1u);
      EXPECT_NE(r.why.find(c.expected), std::string::npos) << r.why;
      ASSERT_EQ(r.log.size(), 1u);  // the first try; the next is not due yet
      EXPECT_NE(r.log[0].find("not handed on (try 1)"), std::string::npos) << r.log[0];
    } else {
      try {
        SendMessage(settings, c.to, "s", "");
        ADD_FAILURE() << "expected an error";
      } catch (const AutomationError& e) {
        EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
      }
    }
    EXPECT_EQ(Files(settings.outbox / "new"), c.queued ? 1 : 0);
    EXPECT_EQ(Files(settings.outbox / "cur"), 0);
  }
  // Without a sendmail program the text is queued all the same: it waits, and the pass says why.
  TempDir dir;
  EXPECT_NO_THROW(SendMessage(Settings(dir.path(), {}), "a@b.c", "s", ""));
  EXPECT_EQ(Files(dir.path() / "Outbox" / "new"), 1);
  EXPECT_EQ(OutboxPass(Settings(dir.path(), {})).why, "no sendmail program is configured");
  // An outbox that cannot be written (a full disk, a file in its place): nothing is queued, and
  // the caller may send it again later.
  std::ofstream(dir.path() / "blocked") << "";
  auto blocked = Settings(dir.path(), {"/bin/true"});
  blocked.outbox = dir.path() / "blocked" / "Outbox";
  EXPECT_THROW(SendMessage(blocked, "a@b.c", "s", ""), SendLater);
}

// An outbox a pass found empty is not listed again until it changes; a text another program
// queues in it after that is handed on at the next pass.
TEST(SendMessage, ATextQueuedIntoAnEmptyOutboxIsHandedOnAtTheNextPass) {
  TempDir dir;
  const auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), 0).string()});
  std::filesystem::create_directories(settings.outbox / "new");
  std::filesystem::create_directories(settings.outbox / "cur");
  const auto long_ago = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5);
  for (const char* sub : {"new", "cur"})
    std::filesystem::last_write_time(settings.outbox / sub, long_ago);
  for (int pass = 0; pass < 2; ++pass) EXPECT_EQ(OutboxPass(settings).waiting, 0u);
  std::ofstream(settings.outbox / "new" / (std::to_string(std::time(nullptr)) + ".M1P2.other"))
      << ComposeMessage("me@example.org", "5551234567@vtext.com", "Meeting at 9", "");
  OutboxPass(settings);
  EXPECT_EQ(Files(settings.outbox / "new"), 0);
  EXPECT_EQ(Files(settings.sent / "cur"), 1);
}

// A text with an identity is queued once: sent again (as after a stop between its queueing and
// the record that it went), by this program or a later one, it is taken for sent.
TEST(SendMessage, ATextIsQueuedOncePerIdentity) {
  TempDir dir;
  auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), 0).string()});
  SendMessage(settings, "a@b.c", "Meeting", "", "meeting\t1\tMeeting");
  SendMessage(settings, "a@b.c", "Meeting", "", "meeting\t1\tMeeting");
  SendMessage(settings, "a@b.c", "Meeting", "", "meeting\t2\tMeeting");  // another day's
  SendMessage(settings, "a@b.c", "Test", "");
  SendMessage(settings, "a@b.c", "Test", "");  // no identity: every send is a text
  EXPECT_EQ(Files(settings.sent / "cur"), 4);
  EXPECT_NE(Join(OutboxPass(settings).log).find("queued or sent already"), std::string::npos);
  // A later program (a store of its own for the same folders) knows them from the names.
  const auto again = dir.path().parent_path() / (dir.path().filename().string() + "-again");
  std::filesystem::create_directory_symlink(dir.path(), again);
  auto later = Settings(again, {FakeSendmail(dir.path(), 0).string()});
  SendMessage(later, "a@b.c", "Meeting", "", "meeting\t1\tMeeting");
  std::filesystem::remove(again);
  EXPECT_EQ(Files(settings.sent / "cur"), 4);
}

// A hand-off's outcome is recorded by its keeper whatever happens to the program that began it:
// killed while its sendmail program runs, the text still ends in Sent when the program took it,
// back in the queue when it did not. A keeper lost too (its session killed) leaves the text in
// the hand-off folder; the next pass finds nobody holding it and queues it again, saying that its
// outcome is not known. So does a program that did not finish within its limit.
TEST(SendMessage, AHandOffOutlivesItsProgramAndSaysWhatItCannotKnow) {
  struct Case {
    const char* name;
    int status;
    bool kill_keeper;
    const char* ends_in;  // "Sent", "new" or "cur"
  };
  for (const Case& c : {Case{"taken", 0, false, "Sent"}, Case{"refused", 75, false, "new"},
                        Case{"keeper lost", 0, true, "cur"}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto settings =
        Settings(dir.path(), {FakeSendmail(dir.path(), c.status, "sleep 1\n").string()});
    const pid_t sender = fork();
    if (sender == 0) {
      try {
        SendMessage(settings, "a@b.c", "Meeting", "");
      } catch (...) {
      }
      _exit(0);
    }
    // Killed as soon as the hand-off has begun.
    for (int i = 0; i < 500 && Files(settings.outbox / "cur") == 0; ++i)
      std::this_thread::sleep_for(2ms);
    ASSERT_EQ(Files(settings.outbox / "cur"), 1);
    kill(sender, SIGKILL);
    waitpid(sender, nullptr, 0);
    if (c.kill_keeper) {
      // Its keeper's whole session: the session its sendmail program runs in (never ours).
      std::this_thread::sleep_for(100ms);
      const std::string script = (dir.path() / "sendmail").string();
      for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const pid_t p = std::atoi(e.path().filename().c_str());
        if (p <= 1 || ReadAll(e.path() / "cmdline").find(script) == std::string::npos) continue;
        const pid_t session = getsid(p);
        if (session > 1 && session != getsid(0)) kill(-session, SIGKILL);
      }
    }
    std::this_thread::sleep_for(1500ms);
    const std::filesystem::path where =
        std::string(c.ends_in) == "Sent" ? settings.sent / "cur" : settings.outbox / c.ends_in;
    EXPECT_EQ(Files(where), 1);
    settings.retry = 3600s;
    const OutboxReport r = OutboxPass(settings);
    if (c.kill_keeper) {
      EXPECT_NE(Join(r.log).find("whether it was taken is not known"), std::string::npos)
          << Join(r.log);
      EXPECT_EQ(Files(settings.outbox / "cur"), 0);
      EXPECT_EQ(Files(settings.sent / "cur"), 1);  // tried again at once, and taken
    }
  }
  TempDir dir;
  auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), 0, "sleep 30\n").string()});
  settings.timeout = 1s;
  SendMessage(settings, "a@b.c", "Meeting", "");
  const OutboxReport r = OutboxPass(settings);
  EXPECT_NE(r.why.find("whether it took the text is not known, so it is tried again"),
            std::string::npos)
      << r.why;
  EXPECT_EQ(r.waiting, 1u);
}

// A hand-off may take what its program may: through the account, the password command's limit
// and the whole submission's; to a sendmail program, the profile's sendmail_timeout.
TEST(SendMessage, TheHandOffLimitFollowsTheProfile) {
  StoreProfile p;
  p.path = "/tmp/store.conf";
  p.smtp.server = "smtp.example.org";
  p.smtp.timeout = 120s;
  EXPECT_EQ(SendSettingsOf(p).timeout, 160s);
  p.smtp.server.clear();
  p.sendmail = {"/usr/sbin/sendmail"};
  p.sendmail_timeout = 5s;
  EXPECT_EQ(SendSettingsOf(p).timeout, 5s);
}

// A message not handed on within the expiry goes to Failed, with the reason in the log.
TEST(SendMessage, AMessageTooOldForItsNewsMovesToFailed) {
  TempDir dir;
  auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), 75).string()});
  settings.expiry = 1s;
  settings.retry = 0s;
  SendMessage(settings, "a@b.c", "s", "");
  EXPECT_EQ(OutboxPass(settings).waiting, 1u);
  std::this_thread::sleep_for(2100ms);
  const OutboxReport r = OutboxPass(settings);
  EXPECT_EQ(r.waiting, 0u);
  ASSERT_FALSE(r.log.empty());
  EXPECT_NE(r.log.back().find("moved to Failed: not handed on within 0 h: the sendmail program "
                              "failed (exit status 75)"),
            std::string::npos)
      << r.log.back();
  const auto listed = ListOutbox(settings);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].state, "failed");
  EXPECT_EQ(listed[0].to, "a@b.c");
  EXPECT_NE(listed[0].reason.find("exit status 75"), std::string::npos) << listed[0].reason;
  EXPECT_EQ(Files(dir.path() / "Failed" / "cur"), 1);
  EXPECT_EQ(Files(settings.outbox / "new"), 0);
}

// A report that a sent text was refused is said once, from either mail system's wording; a
// report about someone else's message, a delay, and an ordinary mail are not; a program started
// again does not say it again.
TEST(SendMessage, ABounceOfASentTextIsReportedOnce) {
  TempDir dir;
  auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), 0).string()});
  settings.inbox = dir.path() / "Inbox";
  MakeMaildir(settings.inbox);
  SendMessage(settings, "5551234567@tmomail.net", "Meeting", "");
  std::string id;
  for (const auto& e : std::filesystem::directory_iterator(settings.sent / "cur")) {
    const std::string text = ReadAll(e.path());
    const auto at = text.find("Message-ID: <") + 13;
    id = text.substr(at, text.find('>', at) - at);
  }
  ASSERT_FALSE(id.empty());
  OutboxPass(settings);
  int n = 0;
  auto arrive = [&](const std::string& text) {
    std::ofstream(settings.inbox / "new" / ("1796700000.M" + std::to_string(++n) + ".host"))
        << text;
  };
  arrive(Dsn(false, "someone-else@example.org", "5551234567@tmomail.net", "failed"));
  arrive(Dsn(false, id, "5551234567@tmomail.net", "delayed"));
  arrive("From: a@b.c\nSubject: delivery-status of the project\n\nhello\n");
  // Anyone can mail a report: a status part with a line of blanks, our text refused for a
  // recipient it never had.
  std::string blanks = Dsn(false, "someone-else@example.org", "5551234567@tmomail.net", "failed");
  blanks.replace(blanks.find("Status: 5.1.1\n"), 14, "Status: 5.1.1\n \t  \n");
  arrive(blanks);
  arrive(Dsn(false, id, "someone@else.example", "failed"));
  EXPECT_TRUE(OutboxPass(settings).bounces.empty());
  for (const bool exim : {false, true}) {
    SCOPED_TRACE(exim ? "Exim" : "Postfix");
    // Right-to-left overrides and zero-width marks in the reason reach no status line.
    std::string report = Dsn(exim, id, "5551234567@tmomail.net", "failed");
    report.replace(report.find("gateway closed"), 14, "gateway \u202E\u200Bclosed");
    arrive(report);
    const OutboxReport r = OutboxPass(settings);
    ASSERT_EQ(r.bounces.size(), 1u);
    EXPECT_EQ(r.bounces[0],
              "Your phone's address refused the text: 550 5.1.1 "
              "<5551234567@tmomail.net>: " +
                  std::string(exim ? "" : "Recipient address rejected: ") + "gateway closed");
    EXPECT_TRUE(OutboxPass(settings).bounces.empty());
  }
  // The same store seen by another program (a path of its own): nothing is said again.
  std::filesystem::create_directory_symlink(
      dir.path(), dir.path().parent_path() / (dir.path().filename().string() + "-again"));
  auto again = settings;
  const auto other = dir.path().parent_path() / (dir.path().filename().string() + "-again");
  again.outbox = other / "Outbox";
  again.sent = other / "Sent";
  again.inbox = other / "Inbox";
  EXPECT_TRUE(OutboxPass(again).bounces.empty());
  std::filesystem::remove(other);
  EXPECT_EQ(Count(ReadAll(BouncesFile(settings.outbox)), "\n"), 2);
}

// Nothing read from the store or the profile blocks or runs on: a FIFO in the queue is set aside
// unopened, a FIFO among the sent texts or in the inbox is passed over, and a profile that is a
// FIFO is refused at once. A profile's paths are bytes, taken as written; a name or an address
// that is not UTF-8 is an error that names its key.
TEST(SendMessage, FifosAndForeignBytesHangAndDropNothing) {
  TempDir dir;
  auto settings = Settings(dir.path(), {FakeSendmail(dir.path(), 0).string()});
  settings.inbox = dir.path() / "Inbox";
  MakeMaildir(settings.inbox);
  SendMessage(settings, "5551234567@tmomail.net", "Meeting", "");
  MakeMaildir(settings.outbox);
  for (const auto& fifo : {settings.outbox / "new" / "1796700000.M1.fifo",
                           settings.sent / "cur" / "1796700000.M2.fifo:2,S",
                           settings.inbox / "new" / "1796700000.M3.fifo"})
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << fifo;
  alarm(60);  // a pass that hangs ends the test
  const OutboxReport r = OutboxPass(settings);
  EXPECT_EQ(r.waiting, 0u);
  const auto listed = ListOutbox(settings);
  alarm(0);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].state, "failed");
  EXPECT_EQ(listed[0].reason, "not a regular file");

  const auto profile = dir.path() / "profile.conf";
  ASSERT_EQ(mkfifo(profile.c_str(), 0600), 0);
  alarm(60);
  EXPECT_THROW(LoadProfile(profile), std::runtime_error);
  alarm(0);
  std::filesystem::remove(profile);
  std::ofstream(profile) << "[Store]\ncalendars=/home/j\xe9r\xf4me/cal.ics;/srv/a\\;b/\n"
                            "inbox=/home/j\xe9r\xf4me/Mail\n";
  const StoreProfile read = LoadProfile(profile);
  ASSERT_EQ(read.calendars.size(), 2u);
  EXPECT_EQ(read.calendars[0].string(), "/home/j\xe9r\xf4me/cal.ics");
  EXPECT_EQ(read.calendars[1].string(), "/srv/a;b/");
  EXPECT_EQ(read.inbox.string(), "/home/j\xe9r\xf4me/Mail");
  std::ofstream(profile) << "[Store]\nsmtp_server=m\xe9il.example.org\n";
  try {
    LoadProfile(profile);
    ADD_FAILURE() << "a server name that is not UTF-8 was taken";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("smtp_server is not UTF-8"), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace outlook::localstore
