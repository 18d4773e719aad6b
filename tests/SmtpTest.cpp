// Submission through the user's own mail account: TLS, the login, the password's sources.
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

// A password command reads nothing meant for another and ends within its limit, also one that
// closes its output and lingers.
TEST(Smtp, APasswordCommandTakesNoInputAndEndsInTime) {
  TempDir dir;
  const auto lingering = dir.path() / "lingering";
  std::ofstream(lingering) << "#!/bin/sh\necho secret\nexec >&-\nsleep 30\n";
  std::filesystem::permissions(lingering, std::filesystem::perms::owner_all);
  EXPECT_EQ(CommandFirstLine({"/bin/cat"}, 5s), "");
  const auto began = std::chrono::steady_clock::now();
  EXPECT_THROW(CommandFirstLine({lingering.string()}, 1s), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
}

// --- The user's own mail account over SMTP --------------------------------------------------

// Through the account only with TLS (STARTTLS required, or from the start), a certificate some
// authority the program trusts vouches for, and the right login.
TEST(Smtp, SubmissionNeedsTlsAVerifiedCertificateAndTheLogin) {
  if (!HaveSmtpTools()) GTEST_SKIP() << "openssl or aiosmtpd missing";
  struct Case {
    const char* name;
    const char* mode;
    bool implicit_tls, trusted;
    std::string password;
    const char* refused;  // null: it goes through
    const char* behaviour = "take";
    std::string to = "5551234567@vtext.com";
  };
  const Case cases[] = {
      {"STARTTLS, a trusted certificate, the right login", "starttls", false, true, "secret",
       nullptr},
      {"TLS from the start", "tls", true, true, "secret", nullptr},
      {"a certificate no trusted authority vouches for", "starttls", false, false, "secret",
       "certificate"},
      {"a server that offers no TLS", "plain", false, true, "secret", "SSL level"},
      {"the wrong password", "starttls", false, true, "wrong", "Login denied"},
      {"a server that refuses the message", "starttls", false, true, "secret", "550", "refuse"},
      {"a server that does not answer", "starttls", false, true, "secret", "Timeout", "hang"},
      {"a server that drops the connection in the middle", "starttls", false, true, "secret", "",
       "drop"},
      {"a recipient with a command of its own", "starttls", false, true, "secret",
       "not a plain address", "take", "5551234567@vtext.com>\r\nRCPT TO:<victim@example.org"},
      {"a login with a command of its own", "starttls", false, true, "secret\r\nRSET",
       "cannot take"},
  };
  TempDir certs;
  TestCertificate certificate(certs.path());
  ASSERT_TRUE(certificate.ok);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    SmtpSink sink(dir.path() / "sink.log", FreePort(),
                  {c.mode, certificate.cert.string(), certificate.key.string(), c.behaviour});
    ASSERT_TRUE(sink.up());
    SmtpAccount account;
    account.server = "127.0.0.1";
    account.port = sink.port();
    account.implicit_tls = c.implicit_tls;
    account.user = "me";
    if (c.trusted) account.ca_file = certificate.cert;
    account.timeout = 3s;
    const std::string message =
        ComposeMessage("ravenox@example.org", "5551234567@vtext.com", "Meeting at 9", "");
    const auto start = std::chrono::steady_clock::now();
    const std::string error =
        SubmitMessage(account, c.password, "ravenox@example.org", c.to, message);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // the time-out holds
    sink.Stop();
    const std::string log = ReadAll(dir.path() / "sink.log");
    if (c.refused == nullptr) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(Count(log, "---------- MESSAGE FOLLOWS"), 1) << log;
      EXPECT_EQ(Count(log, "Subject: Meeting at 9"), 1) << log;
    } else {
      EXPECT_NE(error, "");
      EXPECT_NE(error.find(c.refused), std::string::npos) << error;
      EXPECT_EQ(Count(log, "---------- MESSAGE FOLLOWS"), 0) << log;
      EXPECT_EQ(Count(log, "victim"), 0) << log;
    }
  }
}

// The store sends through the account of its profile with the password its command gives; a
// message held back by the server waits in the outbox like any other.
TEST(Smtp, TheStoreSendsThroughTheAccountOfItsProfile) {
  if (!HaveSmtpTools()) GTEST_SKIP() << "openssl or aiosmtpd missing";
  TempDir dir;
  TestCertificate certificate(dir.path());
  ASSERT_TRUE(certificate.ok);
  SmtpSink sink(dir.path() / "sink.log", FreePort(),
                {"starttls", certificate.cert.string(), certificate.key.string()});
  ASSERT_TRUE(sink.up());
  setenv("RAVENOX_SMTP", RAVENOX_SMTP_PROGRAM, 1);
  const auto profile_file = dir.path() / "store.conf";
  auto write_profile = [&](const std::string& password, std::string command = {}) {
    if (command.empty()) command = "/bin/echo;" + password;
    std::ofstream(profile_file) << "[Store]\noutbox=" << (dir.path() / "Outbox").string()
                                << "\nsent=" << (dir.path() / "Sent").string()
                                << "\nfrom=Ravenox <ravenox@example.org>\nsmtp_server=127.0.0.1"
                                << "\nsmtp_port=" << sink.port()
                                << "\nsmtp_user=me\npassword_command=" << command
                                << "\nsmtp_ca_file=" << certificate.cert.string() << "\n";
  };
  write_profile("wrong");
  auto send = [&](const std::string& subject) {
    const auto store = OpenLocalStore(LoadProfile(profile_file));
    const auto mail = As<MailItem>(store->CreateItem(olMailItem));
    mail->SetTo("5551234567@vtext.com");
    mail->SetSubject(subject);
    mail->SetBody("");
    mail->Send();
  };
  EXPECT_NO_THROW(send("Held back"));
  std::string waiting;
  PassOutbox(profile_file, waiting);
  EXPECT_NE(waiting.find("1 text waits in the outbox"), std::string::npos) << waiting;
  EXPECT_NE(waiting.find("Login denied"), std::string::npos) << waiting;
  write_profile("secret");
  EXPECT_NO_THROW(send("Meeting at 9"));
  // A password command that reads its standard input takes nothing of the message.
  const auto reader = dir.path() / "reader";
  std::ofstream(reader) << "#!/bin/sh\ncat >/dev/null\necho secret\n";
  std::filesystem::permissions(reader, std::filesystem::perms::owner_all);
  write_profile("secret", reader.string());
  EXPECT_NO_THROW(send("Meeting at 10"));
  sink.Stop();
  unsetenv("RAVENOX_SMTP");
  const std::string log = ReadAll(dir.path() / "sink.log");
  EXPECT_EQ(Count(log, "Subject: Meeting at 9"), 1) << log;
  EXPECT_EQ(Count(log, "Subject: Meeting at 10"), 1) << log;
  EXPECT_EQ(Count(log, "X-RcptTo: 5551234567@vtext.com"), 2) << log;
}

// The password lives in the desktop's Secret Service (here gnome-keyring on a private bus), never
// in a file of ours; the store's program finds it there.
TEST(Smtp, ThePasswordLivesInTheSecretService) {
  if (!HaveSmtpTools() || ::access("/usr/bin/gnome-keyring-daemon", X_OK) != 0)
    GTEST_SKIP() << "openssl, aiosmtpd or gnome-keyring missing";
  TempDir dir;
  const auto home = dir.path() / "home";
  std::filesystem::create_directories(home / ".local/share");
  std::filesystem::create_directories(dir.path() / "run");
  std::filesystem::permissions(dir.path() / "run", std::filesystem::perms::owner_all);
  ravenox::testing::PrivateBus bus;
  const char* const names[] = {"DBUS_SESSION_BUS_ADDRESS", "HOME", "XDG_DATA_HOME",
                               "XDG_RUNTIME_DIR"};
  std::vector<std::optional<std::string>> saved;
  for (const char* n : names) {
    const char* v = std::getenv(n);
    saved.push_back(v != nullptr ? std::optional<std::string>(v) : std::nullopt);
  }
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str(), 1);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (dir.path() / "run").c_str(), 1);
  // The keyring daemon, its login keyring unlocked with the password on its standard input; it
  // counts once it owns its name on the bus (else the bus would start another, locked one).
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  const pid_t keyring = fork();
  if (keyring == 0) {
    dup2(in[0], STDIN_FILENO);
    close(in[1]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl("/usr/bin/gnome-keyring-daemon", "gnome-keyring-daemon", "--unlock",
          "--components=secrets", "--foreground", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  (void)!write(in[1], "test", 4);
  close(in[1]);
  GDBusConnection* bus_connection = g_dbus_connection_new_for_address_sync(
      bus.Address().c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  ASSERT_NE(bus_connection, nullptr);
  bool owned = false;
  for (int i = 0; i < 250 && !owned; ++i) {
    GVariant* r = g_dbus_connection_call_sync(
        bus_connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    if (r != nullptr) {
      gboolean b = FALSE;
      g_variant_get(r, "(b)", &b);
      owned = b != FALSE;
      g_variant_unref(r);
    }
    if (!owned) std::this_thread::sleep_for(20ms);
  }
  g_object_unref(bus_connection);
  ASSERT_TRUE(owned);
  SmtpAccount account;
  account.server = "127.0.0.1";
  account.user = "me";
  std::string error;
  EXPECT_THROW(AccountPassword(account), std::runtime_error);  // none stored yet
  ASSERT_TRUE(StorePassword(account, "secret", error)) << error;
  EXPECT_EQ(AccountPassword(account), "secret");
  kill(keyring, SIGTERM);
  waitpid(keyring, nullptr, 0);
  for (std::size_t i = 0; i < std::size(names); ++i) {
    if (saved[i]) {
      setenv(names[i], saved[i]->c_str(), 1);
    } else {
      unsetenv(names[i]);
    }
  }
}

}  // namespace
}  // namespace outlook::localstore
