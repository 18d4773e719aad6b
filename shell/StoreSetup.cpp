#include "shell/StoreSetup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "outlook/eds/DesktopCalendars.h"
#include "outlook/localstore/LocalStore.h"
#include "outlook/outbox/Sender.h"
#include "outlook/outbox/Smtp.h"
#include "settings/Settings.h"

namespace ravenox::shell {

using namespace ravenox::settings;
namespace {

namespace local = outlook::localstore;
namespace outbox = outlook::outbox;

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t semi = text.find(';', at);
    std::string part = text.substr(at, semi == std::string::npos ? std::string::npos : semi - at);
    part.erase(0, std::min(part.find_first_not_of(" \t"), part.size()));
    while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.pop_back();
    if (!part.empty()) out.push_back(part);
    if (semi == std::string::npos) break;
    at = semi + 1;
  }
  return out;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : ";") + p;
  return out;
}

std::vector<std::filesystem::path> Paths(const std::string& text) {
  std::vector<std::filesystem::path> out;
  for (const auto& p : Split(text)) out.emplace_back(p);
  return out;
}

std::string Home() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

// The profile with what the page says.
local::StoreProfile WithFields(local::StoreProfile p, const wizard::TStoreFields& f) {
  p.calendars = Paths(f.calendars);
  p.tasks = Paths(f.tasks);
  if (!f.inbox.empty()) p.inbox = f.inbox;
  if (f.account) {
    p.smtp.server = f.server;
    p.smtp.port = f.port;
    p.smtp.implicit_tls = f.port == 465;
    p.smtp.user = f.user;
  } else {
    p.smtp.server.clear();
    p.sendmail = Split(f.sendmail);
  }
  return p;
}

}  // namespace

LocalStoreSetup::LocalStoreSetup(std::filesystem::path profile) : profile_(std::move(profile)) {}

wizard::TStoreFields LocalStoreSetup::Load() {
  if (kept_) return *kept_;
  wizard::TStoreFields f;
  try {
    const local::StoreProfile p = local::LoadProfile(profile_, /*create_default=*/false);
    std::vector<std::string> parts;
    for (const auto& c : p.calendars) parts.push_back(c.string());
    f.calendars = Join(parts);
    parts.clear();
    for (const auto& t : p.tasks) parts.push_back(t.string());
    f.tasks = Join(parts);
    f.inbox = p.inbox.string();
    f.account = !p.smtp.server.empty();
    f.server = p.smtp.server;
    f.port = p.smtp.port;
    f.user = p.smtp.user;
    f.sendmail = Join(p.sendmail);
  } catch (const std::exception&) {
    // An unreadable profile: the page starts empty; saving writes a good one.
  }
  return f;
}

std::string LocalStoreSetup::Check(const wizard::TStoreFields& fields) {
  if (fields.account && fields.server.empty()) return "Enter the server of your mail account.";
  if (!fields.account && fields.sendmail.empty()) return "Enter the sendmail program.";
  return {};
}

std::vector<std::string> LocalStoreSetup::Unreadable(const wizard::TStoreFields& fields) {
  std::vector<std::string> out;
  auto why = [](const std::filesystem::path& p, bool maildir) -> std::string {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return std::strerror(errno);
    if (maildir) {
      return S_ISDIR(st.st_mode) && std::filesystem::is_directory(p / "new") &&
                     std::filesystem::is_directory(p / "cur")
                 ? ""
                 : "not a Maildir (no new/ and cur/ in it)";
    }
    if (S_ISDIR(st.st_mode)) {
      DIR* d = ::opendir(p.c_str());
      if (d == nullptr) return std::strerror(errno);
      ::closedir(d);
      return {};
    }
    if (!S_ISREG(st.st_mode)) return "not a file nor a folder";
    const int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return {};
  };
  for (const auto& list : {fields.calendars, fields.tasks}) {
    for (const auto& p : Paths(list)) {
      if (outlook::eds::IsDesktopSource(p.native())) {
        const auto desktop = DesktopSources();
        if (std::none_of(desktop.begin(), desktop.end(),
                         [&](const DesktopSource& d) { return d.entry == p.native(); }))
          out.push_back(p.string() + ": not one of the desktop's calendars or task lists");
        continue;
      }
      if (const std::string w = why(p, false); !w.empty()) out.push_back(p.string() + ": " + w);
    }
  }
  if (!fields.inbox.empty()) {
    if (const std::string w = why(fields.inbox, true); !w.empty())
      out.push_back(fields.inbox + ": " + w);
  }
  return out;
}

void LocalStoreSetup::Keep(const wizard::TStoreFields& fields) {
  kept_ = fields;
}

void LocalStoreSetup::Discard() {
  kept_.reset();
}

std::string LocalStoreSetup::Commit() {
  if (!kept_) return {};
  const wizard::TStoreFields fields = *kept_;
  kept_.reset();
  try {
    const local::StoreProfile p =
        WithFields(local::LoadProfile(profile_, /*create_default=*/false), fields);
    local::SaveProfile(p, profile_);
    if (fields.account && !fields.password.empty()) {
      std::string error;
      if (!outbox::StorePassword(p.smtp, fields.password, error) &&
          p.smtp.password_command.empty()) {
        return "The desktop's keyring could not keep the password (" + error +
               "); name a password_command in " + profile_.string() + ".";
      }
    }
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

std::string LocalStoreSetup::SendTest(const wizard::TStoreFields& fields,
                                      const std::string& address) {
  // The one test message, as the main window's command sends it.
  const char* const subject = kTestMessageSubject;
  const char* const body = kTestMessageBody;
  try {
    const local::StoreProfile p =
        WithFields(local::LoadProfile(profile_, /*create_default=*/false), fields);
    if (!fields.account) return outbox::SendNow(local::SendSettingsOf(p), address, subject, body);
    if (fields.server.empty()) return "no server";
    // The password as typed, else the one kept for the account.
    std::string password = fields.password;
    if (password.empty() && !p.smtp.user.empty()) password = outbox::AccountPassword(p.smtp);
    std::string from = p.from;
    if (const auto lt = from.find('<'); lt != std::string::npos)
      from = from.substr(lt + 1, from.find('>', lt) - lt - 1);
    if (from.empty()) from = fields.user;
    return outbox::SubmitMessage(p.smtp, password, from, address,
                                 outbox::ComposeMessage(p.from, address, subject, body));
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::vector<wizard::TStoreSetup::DesktopSource> LocalStoreSetup::DesktopSources() {
  if (!desktop_) {
    desktop_.emplace();
    for (const auto& s : outlook::eds::ListDesktopSources()) {
      desktop_->push_back({std::string(outlook::eds::kScheme) + s.uid, s.name, s.account,
                           s.kind == outlook::eds::SourceKind::kTasks, s.shown});
    }
  }
  return *desktop_;
}

std::vector<wizard::TStoreSetup::Found> LocalStoreSetup::Suggestions() {
  std::vector<Found> out;
  const std::filesystem::path home = Home();
  if (home.empty()) return out;
  std::error_code ec;
  const auto evolution = home / ".local/share/evolution";
  // Where the desktop's calendar service answers, its own files are read through it.
  if (DesktopSources().empty()) {
    if (std::filesystem::exists(evolution / "calendar/system/calendar.ics", ec))
      out.push_back({"Evolution", (evolution / "calendar/system/calendar.ics").string(), false});
    if (std::filesystem::exists(evolution / "tasks/system/tasks.ics", ec))
      out.push_back({"Evolution tasks", (evolution / "tasks/system/tasks.ics").string(), true});
  }
  // khal's and vdirsyncer's folders: one per calendar.
  for (const auto& root : {home / ".calendars", home / ".local/share/khal/calendars"}) {
    for (const auto& e : std::filesystem::directory_iterator(root, ec)) {
      if (e.is_directory(ec)) out.push_back({"khal", e.path().string(), false});
    }
  }
  return out;
}

}  // namespace ravenox::shell
