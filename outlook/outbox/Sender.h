// Sending a plain-text message: a complete RFC 5322 message is written into the outbox Maildir,
// handed to the sendmail interface (msmtp, Postfix, Exim) and moved to Sent once it is accepted.
#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "outlook/outbox/Compose.h"

namespace outlook::outbox {

struct SendSettings {
  std::filesystem::path outbox, sent;
  std::filesystem::path inbox;   // where bounces of what was sent arrive; empty: not looked at
  std::filesystem::path failed;  // empty: Failed beside the outbox
  std::string from;
  std::vector<std::string> sendmail;      // argv; the recipient follows "--"
  std::chrono::seconds timeout{60};       // the most a hand-off may take; then it is stopped
  std::chrono::seconds expiry{6 * 3600};  // a message not handed on by then goes to Failed
  std::chrono::seconds retry{60};  // the first wait before a try again; each doubles, to 15 min
};

// Sends one message: it is written into the outbox durably, then handed to the sendmail program
// once; a message the program did not take waits in the outbox for OutboxPass (so does every
// message while no sendmail program is configured). With an `identity`, a message whose identity
// the outbox holds or has sent is taken for sent and not queued again. Throws
// outlook::AutomationError for a bad address or a message that cannot be composed safely, and
// outlook::SendLater when it cannot be queued (nothing was written).
void SendMessage(const SendSettings& settings, const std::string& to, const std::string& subject,
                 const std::string& body, const std::string& identity = {});

// Sends one message now, for a test: queued and handed on once; one that was not handed on is
// taken out of the queue again. Returns "" when it was handed on, else why not.
std::string SendNow(const SendSettings& settings, const std::string& to, const std::string& subject,
                    const std::string& body);

// What the outbox holds after a pass, and what happened since the last one.
struct OutboxReport {
  std::vector<std::string> log;      // every try and every move, for the debug log
  std::size_t waiting = 0;           // messages not handed on yet
  std::string why;                   // why the last try failed
  std::vector<std::string> bounces;  // reasons of new bounces of texts that were sent
};

// The record of the bounces already reported, in the outbox: one line each, "inbox message\t
// Message-ID\trecipient\treason\ttime (seconds)".
std::filesystem::path BouncesFile(const std::filesystem::path& outbox);
// The reasons kept for the texts still waiting: one line each, "name\treason".
std::filesystem::path ReasonsFile(const std::filesystem::path& outbox);
// The reasons of the texts given up (moved to Failed): one line each, "name\treason".
std::filesystem::path FailedRecordFile(const std::filesystem::path& outbox);

// One text of the outbox as the inspector lists it.
struct OutboxEntry {
  std::string state;                // "waiting", "failed" or "bounced"
  std::time_t when = 0;             // queued (bounced: when the bounce was found)
  std::string to, subject, reason;  // a bounce's subject is the Message-ID it names
};
// The texts waiting, given up and bounced, in that order.
std::vector<OutboxEntry> ListOutbox(const SendSettings& settings);

// A pass over the outbox: the messages whose next try has come are handed on (tries after 1, 2,
// 4, 8, then every 15 minutes, with the default `retry`), those older than the expiry move to
// Failed. A message whose hand-off is still under way (its keeper may belong to a stopped program)
// is left to it; one whose hand-off was lost with its keeper goes back to the queue.
OutboxReport OutboxPass(const SendSettings& settings);

}  // namespace outlook::outbox
