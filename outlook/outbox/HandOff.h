// Handing a queued message on, so that its outcome is recorded whatever happens to the program
// that began it, and the names messages are queued under.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace outlook::outbox {

// A Maildir name; a text with an identity carries its hash as "R" and 16 hex digits at the end
// of the name's middle part.
std::string UniqueName(const std::string& identity_hash = {});
// The identity's hash in a name, or "".
std::string IdentityHashOf(const std::string& name);
// A text's identity as 16 hex digits (FNV-1a, the same in every run and on every machine).
std::string IdentityHash(const std::string& identity);

// How a hand-off ended, besides the sendmail program's own exit status.
inline constexpr int kTimedOut = 124;     // the program was stopped at its limit: outcome unknown
inline constexpr int kTaken = 126;        // another hand-off has the message
inline constexpr int kStillRunning = -1;  // the keeper is still at it; it records the outcome

// Makes a rename in `folder` durable. Safe between fork and exec.
void SyncFolder(const char* folder);

// Hands the message file `queued` to argv (the message on its standard input) through a keeper:
// a process of its own session that locks the message, takes it out of the queue (renames it to
// `claimed`), runs the program within `timeout`, and records the outcome itself: on success the
// message goes to `sent` (or away when that is empty), otherwise back into the queue. So the
// outcome is recorded whatever happens to us meanwhile (a crash, a kill, a Ctrl-C); a message in
// the hand-off folder whose lock nobody holds lost its keeper too (a power cut, its session
// killed). Returns the program's exit status, kTimedOut, kTaken, or kStillRunning when the keeper
// has not ended within `timeout` and a margin; `errors` is what the program said.
int Run(const std::vector<std::string>& argv, const std::filesystem::path& queued,
        const std::filesystem::path& claimed, const std::filesystem::path& sent,
        std::string& errors, std::chrono::seconds timeout);

}  // namespace outlook::outbox
