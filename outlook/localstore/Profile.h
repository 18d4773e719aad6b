// Where the local store keeps the user's calendar, tasks and mail, and how it sends: the store's
// own configuration, like a mail profile. A GLib key file:
//
//   [Store]
//   calendars=eds:system-calendar;~/.calendars/work/   (files, vdirs, the desktop's: eds:UID)
//   tasks=~/.local/share/evolution/tasks/system/tasks.ics
//   inbox=~/Mail/INBOX
//   outbox=~/.local/share/Brindlemoor/Ravenox/Outbox
//   sent=~/.local/share/Brindlemoor/Ravenox/Sent
//   failed=~/.local/share/Brindlemoor/Ravenox/Failed
//   expiry_hours=6
//   from=me@example.org
//   sendmail=/usr/bin/msmtp;--read-envelope-from
//   sendmail_timeout=60                 (seconds a hand-off to it may take)
//   smtp_server=smtp.example.org        (instead of sendmail: the user's own account)
//   smtp_port=587                       (STARTTLS required; 465: TLS from the start)
//   smtp_user=me@example.org
//   password_command=/usr/bin/pass;show;mail   (where there is no Secret Service)
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "outlook/outbox/Smtp.h"

namespace outlook::localstore {

struct StoreProfile {
  std::vector<std::filesystem::path> calendars;  // .ics files, vdir folders, eds:UID
  std::vector<std::filesystem::path> tasks;
  std::filesystem::path inbox, outbox, sent;  // Maildirs
  std::filesystem::path failed;               // Maildir; empty: Failed beside the outbox
  std::string from;                           // the sender's address
  std::vector<std::string> sendmail;          // argv; empty: nothing is handed on
  outbox::SmtpAccount smtp;  // with a server: texts go through this account, not sendmail
  int expiry_hours = 6;      // a text not handed on by then is noise: it moves to Failed
  // The most the sendmail program may take for one text; then it is stopped and tried again.
  std::chrono::seconds sendmail_timeout{60};
  std::filesystem::path path;  // the file it was read from
};

// $XDG_CONFIG_HOME/Brindlemoor/Ravenox-store.conf
std::filesystem::path DefaultProfilePath();
// $XDG_DATA_HOME/Brindlemoor/Ravenox/
std::filesystem::path DefaultStoreFolder();

// The profile at `path`; when there is none, the default store (its files and folders created on
// first use unless `create_default` is false; no profile is written). Throws std::runtime_error
// for a profile that cannot be read.
StoreProfile LoadProfile(const std::filesystem::path& path, bool create_default = true);

// Writes a commented example profile at `path` when there is none there; true when written.
bool WriteExampleProfile(const std::filesystem::path& path);

// Writes the sources, the inbox and how texts go out into the profile at `path`, keeping its
// other keys and its comments; the file is replaced whole. Throws std::runtime_error.
void SaveProfile(const StoreProfile& profile, const std::filesystem::path& path);

// The default store in `folder`: calendar.ics, tasks.ics, Inbox/, Outbox/, Sent/.
StoreProfile DefaultProfile(const std::filesystem::path& folder);
// Creates the default store's files and folders when missing.
void CreateStore(const StoreProfile& profile);

// The sendmail-compatible program that submits through the account of the profile at `profile`:
// its argv, the recipient to follow after "--". The program is `ravenox-smtp` beside the running
// one (RAVENOX_SMTP names another).
std::vector<std::string> SmtpProgram(const std::filesystem::path& profile);

// That program's own entry: `ravenox-smtp --profile FILE -- RECIPIENT`, the message on standard
// input. Exit status 0 when the server took it, 75 when it may take it later, 69 when it refused
// it or the account cannot be used.
int SmtpMain(const std::vector<std::string>& args);

}  // namespace outlook::localstore
