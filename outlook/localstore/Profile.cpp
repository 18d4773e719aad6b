#include "outlook/localstore/Profile.h"

#include "outlook/outbox/Smtp.h"
#include "outlook/outbox/Support.h"

#include <glib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "outlook/eds/DesktopCalendars.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"

namespace outlook::localstore {
namespace {

std::filesystem::path Expand(const std::string& text) {
  if (text.rfind("~/", 0) == 0) {
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : ".") / text.substr(2);
  }
  return text;
}

std::string DefaultSender() {
  const char* user = std::getenv("USER");
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
    std::snprintf(host, sizeof host, "localhost");
  return std::string(user != nullptr && *user != '\0' ? user : "ravenox") + "@" + host;
}

constexpr const char* kExample =
    "# Where Ravenox reads your calendar, tasks and mail, and how it sends its messages.\n"
    "# Lists are separated by ';'. A calendar or task source is an .ics file, a folder of .ics\n"
    "# files (a vdir, as kept by khal and vdirsyncer), or one of the desktop's calendars or task\n"
    "# lists (GNOME Calendar's, Evolution's), named eds: and its UID (ravenox-inspect sources\n"
    "# lists them). Mail folders are Maildirs.\n"
    "#\n"
    "# [Store]\n"
    "# calendars=~/.local/share/evolution/calendar/system/calendar.ics;~/.calendars/work/\n"
    "# tasks=~/.local/share/evolution/tasks/system/tasks.ics\n"
    "# inbox=~/Mail/INBOX\n"
    "# outbox=~/.local/share/Brindlemoor/Ravenox/Outbox\n"
    "# sent=~/.local/share/Brindlemoor/Ravenox/Sent\n"
    "# A text not handed on within expiry_hours (default 6) moves to this Maildir.\n"
    "# failed=~/.local/share/Brindlemoor/Ravenox/Failed\n"
    "# expiry_hours=6\n"
    "# from=me@example.org\n"
    "# The sendmail interface: the program and its options. The recipient is added after \"--\".\n"
    "# sendmail=/usr/bin/msmtp;--read-envelope-from\n"
    "# The most one hand-off to it may take, in seconds (default 60); then it is tried again.\n"
    "# sendmail_timeout=60\n"
    "#\n"
    "# Without a [Store] group Ravenox uses its own store folder:\n";

}  // namespace

std::filesystem::path DefaultProfilePath() {
  return ravenox::platform::XdgDir("XDG_CONFIG_HOME", ".config") / "Brindlemoor" /
         "Ravenox-store.conf";
}

std::filesystem::path DefaultStoreFolder() {
  return ravenox::platform::ProgramDataFolder();
}

StoreProfile DefaultProfile(const std::filesystem::path& folder) {
  StoreProfile p;
  p.calendars = {folder / "calendar.ics"};
  p.tasks = {folder / "tasks.ics"};
  p.inbox = folder / "Inbox";
  p.outbox = folder / "Outbox";
  p.sent = folder / "Sent";
  p.from = DefaultSender();
  if (::access("/usr/sbin/sendmail", X_OK) == 0) p.sendmail = {"/usr/sbin/sendmail", "-i"};
  return p;
}

void CreateStore(const StoreProfile& profile) {
  static constexpr const char* kEmptyCalendar =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Brindlemoor//Ravenox//EN\r\nEND:VCALENDAR\r\n";
  for (const auto& list : {profile.calendars, profile.tasks}) {
    for (const auto& source : list) {
      if (eds::IsDesktopSource(source.native()) || std::filesystem::exists(source)) continue;
      if (source.extension() == ".ics") {
        std::filesystem::create_directories(source.parent_path());
        ravenox::platform::WriteFileAtomically(source, kEmptyCalendar, 0600);
      } else {
        std::filesystem::create_directories(source);
      }
    }
  }
  for (const auto& dir : {profile.inbox, profile.outbox, profile.sent}) {
    if (!dir.empty()) outbox::MakeMaildir(dir);
  }
}

namespace {

// No profile needs more.
constexpr std::size_t kMaxProfileBytes = 1u << 20;

// A key file's value as GKeyFile writes it, escapes undone, as bytes: a path or an argument need
// not be UTF-8. In a list (`separator` ';') an escaped separator is part of the element.
std::vector<std::string> Unescaped(const std::string& raw, bool list) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\\' && i + 1 < raw.size()) {
      const char e = raw[++i];
      out.back() += e == 's' ? ' ' : e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
    } else if (list && c == ';') {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  std::erase_if(out, [](const std::string& s) { return s.empty(); });
  return out;
}

}  // namespace

StoreProfile LoadProfile(const std::filesystem::path& path, bool create_default) {
  GKeyFile* file = g_key_file_new();
  GError* error = nullptr;
  // Only a regular file, and only as much as a profile can be: a FIFO never hangs the pass.
  std::string data;
  bool there = false;
  try {
    there = ravenox::platform::ReadRegularFile(path, kMaxProfileBytes, data);
  } catch (const std::exception& e) {
    g_key_file_free(file);
    throw std::runtime_error(std::string("Cannot read the store profile: ") + e.what());
  }
  if (!there) {
    g_key_file_free(file);
    // First use: the embedded default store. No profile is written: that is the configuration
    // wizard's to do when it is finished (or the person's, by hand).
    StoreProfile profile = DefaultProfile(DefaultStoreFolder());
    if (create_default) CreateStore(profile);
    return profile;
  }
  if (!g_key_file_load_from_data(file, data.data(), data.size(), G_KEY_FILE_NONE, &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    g_key_file_free(file);
    throw std::runtime_error("Cannot read " + path.string() + ": " + message);
  }

  // Paths and arguments are bytes, taken as they are written.
  auto raw = [&](const char* key, bool list) {
    gchar* v = g_key_file_get_value(file, "Store", key, nullptr);
    std::vector<std::string> out = Unescaped(v != nullptr ? v : "", list);
    g_free(v);
    return out;
  };
  auto strings = [&](const char* key) { return raw(key, true); };
  auto path_of = [&](const char* key) {
    const std::vector<std::string> v = raw(key, false);
    return v.empty() ? std::string() : v.front();
  };
  // Names and addresses are text: one that is not UTF-8 is named, never dropped in silence.
  auto one = [&](const char* key) {
    gchar* v = g_key_file_get_value(file, "Store", key, nullptr);
    const std::vector<std::string> text = Unescaped(v != nullptr ? v : "", false);
    g_free(v);
    const std::string s = text.empty() ? std::string() : text.front();
    if (!g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
      g_key_file_free(file);
      throw std::runtime_error(path.string() + ": " + key + " is not UTF-8 text");
    }
    return s;
  };

  StoreProfile profile = DefaultProfile(DefaultStoreFolder());
  if (g_key_file_has_group(file, "Store")) {
    if (g_key_file_has_key(file, "Store", "calendars", nullptr)) {
      profile.calendars.clear();
      for (const auto& s : strings("calendars")) profile.calendars.push_back(Expand(s));
    }
    if (g_key_file_has_key(file, "Store", "tasks", nullptr)) {
      profile.tasks.clear();
      for (const auto& s : strings("tasks")) profile.tasks.push_back(Expand(s));
    }
    if (!path_of("inbox").empty()) profile.inbox = Expand(path_of("inbox"));
    if (!path_of("outbox").empty()) profile.outbox = Expand(path_of("outbox"));
    if (!path_of("sent").empty()) profile.sent = Expand(path_of("sent"));
    if (!path_of("failed").empty()) profile.failed = Expand(path_of("failed"));
    if (!one("expiry_hours").empty()) {
      GError* error = nullptr;
      const gint hours = g_key_file_get_integer(file, "Store", "expiry_hours", &error);
      if (error != nullptr || hours < 1) {
        g_clear_error(&error);
        g_key_file_free(file);
        throw std::runtime_error(path.string() + ": expiry_hours wants a whole number of hours");
      }
      profile.expiry_hours = hours;
    }
    if (!one("from").empty()) profile.from = one("from");
    if (g_key_file_has_key(file, "Store", "sendmail", nullptr))
      profile.sendmail = strings("sendmail");
    auto number = [&](const char* key, int low, int high, int& out) {
      if (one(key).empty()) return;
      GError* error = nullptr;
      const gint v = g_key_file_get_integer(file, "Store", key, &error);
      if (error != nullptr || v < low || v > high) {
        g_clear_error(&error);
        g_key_file_free(file);
        throw std::runtime_error(path.string() + ": " + key + " wants a number from " +
                                 std::to_string(low) + " to " + std::to_string(high));
      }
      out = v;
    };
    profile.smtp.server = one("smtp_server");
    number("smtp_port", 1, 65535, profile.smtp.port);
    const std::string security = one("smtp_security");
    if (security == "tls") {
      profile.smtp.implicit_tls = true;
    } else if (security.empty()) {
      profile.smtp.implicit_tls = profile.smtp.port == 465;
    } else if (security != "starttls") {
      g_key_file_free(file);
      throw std::runtime_error(path.string() +
                               ": smtp_security is starttls or tls; there is no plain text");
    }
    profile.smtp.user = one("smtp_user");
    if (g_key_file_has_key(file, "Store", "password_command", nullptr))
      profile.smtp.password_command = strings("password_command");
    if (!path_of("smtp_ca_file").empty()) profile.smtp.ca_file = Expand(path_of("smtp_ca_file"));
    int timeout = static_cast<int>(profile.smtp.timeout.count());
    number("smtp_timeout", 1, 600, timeout);
    profile.smtp.timeout = std::chrono::seconds(timeout);
    int sendmail_timeout = static_cast<int>(profile.sendmail_timeout.count());
    number("sendmail_timeout", 1, 600, sendmail_timeout);
    profile.sendmail_timeout = std::chrono::seconds(sendmail_timeout);
  } else if (create_default) {
    CreateStore(profile);
  }
  g_key_file_free(file);
  profile.path = path;
  return profile;
}

bool WriteExampleProfile(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return false;
  std::filesystem::create_directories(path.parent_path(), ec);
  try {
    ravenox::platform::WriteFileAtomically(
        path, std::string(kExample) + "# " + DefaultStoreFolder().string() + "\n", 0600);
  } catch (const std::exception&) {
    return false;  // a convenience; the store works without it
  }
  return true;
}

void SaveProfile(const StoreProfile& profile, const std::filesystem::path& path) {
  GKeyFile* file = g_key_file_new();
  // What is there stays: other keys, comments.
  // A new profile starts with the example's explanations.
  std::string old = ravenox::platform::ReadFileHead(path, kMaxProfileBytes);
  std::error_code ec;
  if (old.empty() && !std::filesystem::exists(path, ec))
    old = std::string(kExample) + "# " + DefaultStoreFolder().string() + "\n";
  g_key_file_load_from_data(file, old.data(), old.size(),
                            static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS), nullptr);
  // GKeyFile writes each value escaped: nothing typed can end a line and start another key.
  auto list = [&](const char* key, const std::vector<std::string>& values) {
    std::vector<const gchar*> v;
    for (const auto& x : values) v.push_back(x.c_str());
    g_key_file_set_string_list(file, "Store", key, v.data(), v.size());
  };
  auto paths = [](const std::vector<std::filesystem::path>& ps) {
    std::vector<std::string> out;
    for (const auto& p : ps) out.push_back(p.string());
    return out;
  };
  list("calendars", paths(profile.calendars));
  list("tasks", paths(profile.tasks));
  g_key_file_set_string(file, "Store", "inbox", profile.inbox.c_str());
  if (!profile.from.empty()) g_key_file_set_string(file, "Store", "from", profile.from.c_str());
  if (profile.smtp.server.empty()) {
    for (const char* key : {"smtp_server", "smtp_port", "smtp_security", "smtp_user"})
      g_key_file_remove_key(file, "Store", key, nullptr);
    list("sendmail", profile.sendmail);
  } else {
    g_key_file_set_string(file, "Store", "smtp_server", profile.smtp.server.c_str());
    g_key_file_set_integer(file, "Store", "smtp_port", profile.smtp.port);
    g_key_file_set_string(file, "Store", "smtp_security",
                          profile.smtp.implicit_tls ? "tls" : "starttls");
    g_key_file_set_string(file, "Store", "smtp_user", profile.smtp.user.c_str());
  }
  gsize length = 0;
  gchar* text = g_key_file_to_data(file, &length, nullptr);
  const std::string data = text != nullptr ? std::string(text, length) : std::string();
  g_free(text);
  g_key_file_free(file);
  std::filesystem::create_directories(path.parent_path(), ec);
  ravenox::platform::WriteFileAtomically(path, data, 0600);
}

// Here rather than with the submission itself, so that the store (and the engine with it) does
// not link the submission's TLS and HTTP libraries.
std::vector<std::string> SmtpProgram(const std::filesystem::path& profile) {
  std::string program;
  if (const char* named = std::getenv("RAVENOX_SMTP"); named != nullptr && *named != '\0') {
    program = named;
  } else {
    std::error_code ec;
    program = (std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "ravenox-smtp")
                  .string();
  }
  return {program, "--profile", std::filesystem::absolute(profile).string()};
}

}  // namespace outlook::localstore
