// Sending a plain-text message: a complete RFC 5322 message is written into the outbox Maildir,
// handed to the sendmail interface (msmtp, Postfix, Exim) and moved to Sent once it is accepted.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace outlook::localstore {

struct SendSettings {
  std::filesystem::path outbox, sent;
  std::string from;
  std::vector<std::string> sendmail;  // argv; the recipient follows "--"
  std::chrono::seconds timeout{60};
};

// Header text as it may stand in a header: control characters (CR, LF, ...) become blanks, so no
// text from a meeting or a mail can add a header or a recipient.
std::string HeaderSafe(const std::string& text);

// The message as it is written to the outbox.
std::string ComposeMessage(const std::string& from, const std::string& to,
                           const std::string& subject, const std::string& body);

// Sends one message; throws outlook::AutomationError (the message then stays in the outbox) for a
// bad address, a missing sendmail, or a sendmail that fails or hangs.
void SendMessage(const SendSettings& settings, const std::string& to, const std::string& subject,
                 const std::string& body);

}  // namespace outlook::localstore
