// Submission to the user's own mail account over SMTP (libcurl): port 587 with STARTTLS required,
// or 465 with TLS from the start; the certificate is always verified and nothing falls back to
// plain text. The password comes from the desktop's Secret Service, or from the profile's
// password_command (argv, no shell) where there is none.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace outlook::outbox {

struct SmtpAccount {
  std::string server;
  int port = 587;
  bool implicit_tls = false;                  // 465: TLS from the start; else STARTTLS, required
  std::string user;                           // empty: no login
  std::vector<std::string> password_command;  // argv; its first line of output is the password
  std::filesystem::path ca_file;              // empty: the system's authorities
  std::chrono::seconds timeout{60};           // each answer of the server, and the whole submission
};

// The most a password command may take, its output closed or not.
inline constexpr std::chrono::seconds kPasswordCommandLimit{30};

// The password for the account: the Secret Service's (a "Ravenox mail account" item for the
// server and user), else the password command's. Throws std::runtime_error saying what is missing.
std::string AccountPassword(const SmtpAccount& account);

// The first line a program writes (a password command's), run without a shell and with nothing on
// its standard input, within `timeout` in all, its output closed or not. Throws
// std::runtime_error when it fails or does not finish in time.
std::string CommandFirstLine(const std::vector<std::string>& argv,
                             std::chrono::milliseconds timeout);

// Stores the password in the Secret Service; false (with `error`) when there is none.
bool StorePassword(const SmtpAccount& account, const std::string& password, std::string& error);

// Submits `message` (an RFC 5322 message, LF line ends) from `from` to `to`. Returns "" when the
// server accepted it, else what went wrong.
std::string SubmitMessage(const SmtpAccount& account, const std::string& password,
                          const std::string& from, const std::string& to,
                          const std::string& message);

}  // namespace outlook::outbox
