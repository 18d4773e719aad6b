#include "outlook/outbox/Sender.h"
#include "outlook/outbox/Bounces.h"
#include "outlook/outbox/HandOff.h"
#include "outlook/outbox/Support.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "outlook/OutlookModel.h"
#include "platform/AtomicFile.h"

namespace outlook::outbox {
namespace {

// What the program knows of an outbox between passes: when each waiting message is next tried,
// and what happened since the last report. On disk a message waits in new/, is being handed on in
// cur/, and has gone in Sent (or failed, in Failed).
struct Waiting {
  int attempts = 0;
  std::chrono::steady_clock::time_point next{};
  std::string error;
};
struct OutboxState {
  std::mutex mutex;
  std::map<std::string, Waiting> waiting;
  std::vector<std::string> log;
  std::string why;
  // Bounces: the inbox messages looked at (by the unique part of their name), those reported
  // before, and the Message-IDs of the texts in Sent (by file name).
  std::set<std::string> looked, reported;
  bool reported_loaded = false;
  std::map<std::string, std::pair<std::string, std::string>> sent_ids;  // Message-ID, To
  std::string reasons;      // the reasons file as last written
  std::string inbox_stamp;  // the inbox folders' change times at the last look for bounces
  std::string idle_stamp;   // the outbox folders' change times when a pass last found them empty
  // The identities (hashed) of the texts queued, being handed on, sent or given up.
  std::set<std::string> identities;
  bool identities_loaded = false;
  int unknown = 0;  // hand-offs whose outcome could not be known, in this run
};

OutboxState& StateOf(const std::filesystem::path& outbox) {
  static std::mutex registry_mutex;
  static std::map<std::string, std::unique_ptr<OutboxState>> registry;
  std::lock_guard lock(registry_mutex);
  auto& state = registry[std::filesystem::absolute(outbox).lexically_normal().string()];
  if (state == nullptr) state = std::make_unique<OutboxState>();
  return *state;
}

// Tries again after `first`, twice that, four times, ..., at most 15 minutes apart.
std::chrono::seconds RetryAfter(std::chrono::seconds first, int attempts) {
  const auto wait = first * (1 << std::min(attempts - 1, 10));
  return std::min<std::chrono::seconds>(wait, std::chrono::minutes(15));
}

// The head of a message file: what a header block can need.
constexpr std::size_t kHeadBytes = 16384;

// The recipient written in the message's own To header (one address, on one line: we wrote it).
std::string RecipientOf(const std::filesystem::path& file) {
  std::istringstream in(ravenox::platform::ReadFileHead(file, kHeadBytes));
  for (std::string line; std::getline(in, line) && !line.empty();) {
    if (line.rfind("To: ", 0) == 0) return line.substr(4);
  }
  return {};
}

// A record file of the outbox (one line per entry); empty when it cannot be read.
std::string RecordLines(const std::filesystem::path& file) {
  std::string text;
  try {
    ravenox::platform::ReadRegularFile(file, 16u << 20, text);
  } catch (const std::exception&) {
    text.clear();
  }
  return text;
}

// When the message was queued: its name starts with the second, as Maildir names do.
std::time_t QueuedAt(const std::string& name, const std::filesystem::path& file) {
  std::time_t t = 0;
  std::size_t i = 0;
  while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])) != 0)
    t = t * 10 + (name[i++] - '0');
  if (i > 0 && i < name.size() && name[i] == '.') return t;
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? st.st_mtime : std::time(nullptr);
}

void MoveInto(const std::filesystem::path& from, const std::filesystem::path& maildir,
              const std::string& name) {
  std::error_code ec;
  if (!maildir.empty()) {
    MakeMaildir(maildir);
    std::filesystem::rename(from, maildir / "cur" / (name + ":2,S"), ec);
    if (!ec) return;
  }
  std::filesystem::remove(from, ec);
}

// How a hand-off ended.
struct HandOffResult {
  std::optional<std::string> error;  // none: the program took it
  bool unknown = false;              // stopped at its limit: whether it was taken is not known
};

// Hands the queued message `name` on.
HandOffResult HandOff(const SendSettings& settings, const std::string& name,
                      const std::string& to) {
  const std::filesystem::path queued = settings.outbox / "new" / name;
  const std::filesystem::path claimed = settings.outbox / "cur" / name;
  std::filesystem::path sent;
  if (!settings.sent.empty()) {
    std::error_code ec;
    for (const char* sub : {"tmp", "new", "cur"})
      std::filesystem::create_directories(settings.sent / sub, ec);
    sent = settings.sent / "cur" / (name + ":2,S");
  }
  std::vector<std::string> argv = settings.sendmail;
  argv.push_back("--");
  argv.push_back(to);
  std::string errors;
  int status = 0;
  try {
    status = Run(argv, queued, claimed, sent, errors, settings.timeout);
  } catch (const std::exception& e) {
    return {std::string(e.what())};
  }
  switch (status) {
    case 0:
      return {};
    case kStillRunning:
      return {"the hand-off has not ended yet; it records how it ends by itself"};
    case kTaken:
      return {"another hand-off has it"};
    case kTimedOut:
      // One more try: a reminder lost is worse than one that comes twice.
      return {"the sendmail program did not finish within " +
                  std::to_string(settings.timeout.count()) +
                  " seconds; whether it took the text is not known, so it is tried again",
              true};
    default:
      return {"the sendmail program failed (exit status " + std::to_string(status) +
              "): " + HeaderSafe(errors)};
  }
}

// One try of one message, with what it gives noted.
void Attempt(const SendSettings& settings, OutboxState& state, const std::string& name,
             const std::string& to) {
  Waiting& w = state.waiting[name];
  ++w.attempts;
  const HandOffResult result = HandOff(settings, name, to);
  if (!result.error) {
    state.log.push_back("Outbox: " + name + " to " + to + " handed on (try " +
                        std::to_string(w.attempts) + ")");
    state.waiting.erase(name);
    return;
  }
  if (result.unknown) ++state.unknown;
  w.error = *result.error;
  const auto wait = RetryAfter(settings.retry, w.attempts);
  w.next = std::chrono::steady_clock::now() + wait;
  state.why = *result.error;
  state.log.push_back(
      "Outbox: " + name + " to " + to + " not handed on (try " + std::to_string(w.attempts) +
      "): " + *result.error + "; next try in " + std::to_string(wait.count()) + " s" +
      (result.unknown ? "; outcomes not known so far: " + std::to_string(state.unknown) : ""));
}

// The first `limit` bytes of a regular file.
std::string HeadOf(const std::filesystem::path& file, std::size_t limit) {
  return ravenox::platform::ReadFileHead(file, limit);
}

std::string MessageIdOf(const std::string& head) {
  std::size_t at = 0;
  while ((at = head.find('\n', at)) != std::string::npos) {
    ++at;
    if (head.compare(at, 12, "Message-ID: ") == 0) {
      std::string id = head.substr(at + 12, head.find('\n', at) - at - 12);
      id.erase(0, std::min(id.find_first_not_of(" <"), id.size()));
      while (!id.empty() && (id.back() == '>' || id.back() == ' ' || id.back() == '\r'))
        id.pop_back();
      return id;
    }
    if (at < head.size() && head[at] == '\n') break;  // the end of the header
  }
  return {};
}

// Appends a line to a record file, the whole file written again.
void AppendRecord(const std::filesystem::path& file, const std::string& line) {
  const std::string lines = RecordLines(file);
  try {
    ravenox::platform::WriteFileAtomically(file, lines + line + "\n", 0600);
  } catch (const std::exception&) {
    // Only the inspector reads it.
  }
}

// The change times of a Maildir's "new" and "cur"; empty when one is missing. `recent` when one
// changed in the last seconds: on a file system that keeps whole seconds (or the kernel's coarse
// clock) a change still to come may share that time.
std::string FolderStamp(const std::filesystem::path& maildir, bool& recent) {
  const std::time_t now = std::time(nullptr);
  std::string stamp;
  recent = false;
  for (const char* sub : {"new", "cur"}) {
    struct stat st {};
    if (::stat((maildir / sub).c_str(), &st) != 0) return {};
    stamp += std::to_string(st.st_ino) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
             std::to_string(st.st_mtim.tv_nsec) + ";";
    recent = recent || now - st.st_mtim.tv_sec < 3;
  }
  return stamp;
}

// Reports, once each, the new messages of the inbox that say a text Ravenox sent was refused.
void LookForBounces(const SendSettings& settings, OutboxState& state, OutboxReport& report) {
  if (settings.sent.empty()) return;  // nothing sent is kept to know our own by
  std::error_code ec;
  const std::filesystem::path record = BouncesFile(settings.outbox);
  if (!state.reported_loaded) {
    state.reported_loaded = true;
    std::istringstream in(RecordLines(record));
    for (std::string line; std::getline(in, line);)
      state.reported.insert(line.substr(0, line.find('\t')));
  }
  // A pass looks again only when a message came or moved: a large inbox is not listed every pass.
  // (A change within the last seconds may share its time with one still to come, on a file
  // system that keeps whole seconds: then the next pass looks again.)
  const std::time_t now = std::time(nullptr);
  bool recent = false;
  const std::string stamp = FolderStamp(settings.inbox, recent);
  if (!stamp.empty() && stamp == state.inbox_stamp) return;
  bool sent_read = false;
  // What the texts in Sent were: their Message-ID and the address each went to.
  auto ours = [&](const Bounce& bounce) -> const Bounce::Failure* {
    if (!sent_read) {
      sent_read = true;
      for (const auto& s : std::filesystem::directory_iterator(settings.sent / "cur", ec)) {
        const std::string file = s.path().filename().string();
        if (state.sent_ids.contains(file)) continue;
        const std::string head = HeadOf(s.path(), 4096);
        state.sent_ids[file] = {MessageIdOf("\n" + head), RecipientOf(s.path())};
      }
    }
    for (const auto& [file, sent] : state.sent_ids) {
      if (sent.first != bounce.original_id) continue;
      // A report about our text, but about another of its recipients, is not about the phone.
      for (const Bounce::Failure& f : bounce.failures) {
        if (g_ascii_strcasecmp(f.recipient.c_str(), sent.second.c_str()) == 0) return &f;
      }
    }
    return nullptr;
  };
  for (const char* sub : {"new", "cur"}) {
    for (const auto& e : std::filesystem::directory_iterator(settings.inbox / sub, ec)) {
      const std::string name = e.path().filename().string();
      const std::string unique = name.substr(0, name.find(':'));
      if (name[0] == '.' || !state.looked.insert(unique).second || state.reported.contains(unique))
        continue;
      // A report of a text sent in the last week, from its first part; regular files only (a
      // FIFO would hang the pass). Anyone can mail anything: a message that cannot be read is
      // passed over, and the others are still looked at.
      struct stat st {};
      if (::lstat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
          now - st.st_mtime > 7 * 86400 || st.st_size > (4 << 20) ||
          !MayBeBounce(HeadOf(e.path(), 16384)))
        continue;
      std::optional<Bounce> bounce;
      try {
        bounce = ReadBounce(HeadOf(e.path(), static_cast<std::size_t>(st.st_size)));
      } catch (const std::exception& x) {
        state.log.push_back("Inbox: " + unique +
                            " could not be read as a delivery report: " + HeaderSafe(x.what()));
      }
      if (!bounce) continue;
      const Bounce::Failure* failure = ours(*bounce);
      if (failure == nullptr) continue;
      state.reported.insert(unique);
      AppendRecord(record, unique + "\t" + bounce->original_id + "\t" + failure->recipient + "\t" +
                               failure->reason + "\t" + std::to_string(now));
      const std::string text = "Your phone's address refused the text: " + failure->reason;
      report.bounces.push_back(text);
      state.log.push_back(text + " (" + failure->recipient + ", message <" + bounce->original_id +
                          ">)");
    }
  }
  // Looked at in full: the next pass looks again only when the inbox changes.
  state.inbox_stamp = recent ? std::string() : stamp;
}

std::filesystem::path FailedFolder(const SendSettings& settings) {
  return settings.failed.empty() ? settings.outbox.parent_path() / "Failed" : settings.failed;
}

// A waiting message given up: into Failed, its reason on record.
void Fail(const SendSettings& settings, OutboxState& state, const std::string& name,
          const std::string& why) {
  MoveInto(settings.outbox / "new" / name, FailedFolder(settings), name);
  state.waiting.erase(name);
  AppendRecord(FailedRecordFile(settings.outbox), name + "\t" + why);
  state.log.push_back("Outbox: " + name + " moved to Failed: " + why);
}

}  // namespace

std::filesystem::path FailedRecordFile(const std::filesystem::path& outbox) {
  return outbox / "failed";
}

std::vector<OutboxEntry> ListOutbox(const SendSettings& settings) {
  EnsureGMime();
  std::vector<OutboxEntry> out;
  auto reasons = [](const std::filesystem::path& file, std::size_t key_field) {
    std::map<std::string, std::vector<std::string>> by;
    std::istringstream in(RecordLines(file));
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> fields;
      for (std::size_t at = 0;;) {
        const auto tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab - at));
        if (tab == std::string::npos) break;
        at = tab + 1;
      }
      if (fields.size() > key_field) by[fields[key_field]] = fields;
    }
    return by;
  };
  auto read = [&](const std::filesystem::path& folder, const char* state,
                  const std::map<std::string, std::vector<std::string>>& why) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
      if (e.path().filename().string()[0] != '.') files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      OutboxEntry entry;
      entry.state = state;
      const std::string name = file.filename().string();
      const std::string key = name.substr(0, name.rfind(":2,"));
      entry.when = QueuedAt(key, file);
      entry.to = RecipientOf(file);
      const std::string head = HeadOf(file, 16384);
      GMimeStream* stream = g_mime_stream_mem_new_with_buffer(head.data(), head.size());
      GMimeParser* parser = g_mime_parser_new_with_stream(stream);
      g_object_unref(stream);
      if (GMimeMessage* m = g_mime_parser_construct_message(parser, nullptr)) {
        if (const char* subject = g_mime_message_get_subject(m)) entry.subject = subject;
        g_object_unref(m);
      }
      g_object_unref(parser);
      if (const auto w = why.find(key); w != why.end() && w->second.size() > 1)
        entry.reason = w->second[1];
      out.push_back(std::move(entry));
    }
  };
  read(settings.outbox / "new", "waiting", reasons(ReasonsFile(settings.outbox), 0));
  read(FailedFolder(settings) / "cur", "failed", reasons(FailedRecordFile(settings.outbox), 0));
  for (const auto& [key, f] : reasons(BouncesFile(settings.outbox), 0)) {
    if (f.size() < 5) continue;
    OutboxEntry entry;
    entry.state = "bounced";
    entry.when = std::atoll(f[4].c_str());
    entry.to = f[2];
    entry.subject = "<" + f[1] + ">";
    entry.reason = f[3];
    out.push_back(std::move(entry));
  }
  return out;
}

std::filesystem::path BouncesFile(const std::filesystem::path& outbox) {
  return outbox / "bounced";
}

std::filesystem::path ReasonsFile(const std::filesystem::path& outbox) {
  return outbox / "reasons";
}

namespace {

// The identities of what the outbox holds or held: queued, being handed on, sent, given up.
void LoadIdentities(const SendSettings& settings, OutboxState& state) {
  if (state.identities_loaded) return;
  state.identities_loaded = true;
  std::error_code ec;
  for (const auto& folder : {settings.outbox / "new", settings.outbox / "cur",
                             settings.sent / "cur", FailedFolder(settings) / "cur"}) {
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
      const std::string hash = IdentityHashOf(e.path().filename().string());
      if (!hash.empty()) state.identities.insert(hash);
    }
  }
}

}  // namespace

void SendMessage(const SendSettings& settings, const std::string& to, const std::string& subject,
                 const std::string& body, const std::string& identity) {
  if (!ValidAddress(to)) {
    throw AutomationError("The phone address \"" + HeaderSafe(to) +
                          "\" is not a valid e-mail address");
  }
  const std::string message = ComposeMessage(settings.from, to, subject, body);
  OutboxState& state = StateOf(settings.outbox);
  std::lock_guard lock(state.mutex);
  // A text that is there already, or went, is not queued again: it is the same text sent again
  // after a stop came between its queueing and the record that it went.
  const std::string hash = identity.empty() ? std::string() : IdentityHash(identity);
  if (!hash.empty()) {
    LoadIdentities(settings, state);
    if (state.identities.contains(hash)) {
      state.log.push_back("Outbox: the text \"" + HeaderSafe(subject) +
                          "\" is queued or sent already (R" + hash + "); not queued again");
      return;
    }
  }

  // Into the outbox first, durably, so nothing is lost whatever happens next.
  const std::string name = UniqueName(hash);
  try {
    MakeMaildir(settings.outbox);
    ravenox::platform::WriteFileAtomically(settings.outbox / "new" / name, message, 0600);
  } catch (const std::exception& e) {
    throw SendLater(std::string("Cannot queue the message: ") + e.what());
  }
  if (!hash.empty()) state.identities.insert(hash);
  // Sent once it is queued; its first hand-off is tried now, and what was not handed on is tried
  // again at the following passes (without a sendmail program it waits, and the pass says why).
  if (settings.sendmail.empty()) {
    state.why = "no sendmail program is configured";
    state.log.push_back("Outbox: " + name + " waits: no sendmail program is configured");
    return;
  }
  Attempt(settings, state, name, to);
}

std::string SendNow(const SendSettings& settings, const std::string& to, const std::string& subject,
                    const std::string& body) {
  if (!ValidAddress(to)) return "\"" + HeaderSafe(to) + "\" is not a valid e-mail address";
  if (settings.sendmail.empty()) return "no way of sending is set";
  std::string message;
  try {
    message = ComposeMessage(settings.from, to, subject, body);
  } catch (const std::exception& e) {
    return e.what();
  }
  MakeMaildir(settings.outbox);
  const std::string name = UniqueName();
  try {
    ravenox::platform::WriteFileAtomically(settings.outbox / "new" / name, message, 0600);
  } catch (const std::exception& e) {
    return std::string("cannot queue the message: ") + e.what();
  }
  OutboxState& state = StateOf(settings.outbox);
  std::lock_guard lock(state.mutex);
  const HandOffResult result = HandOff(settings, name, to);
  if (!result.error) return {};
  std::error_code ec;
  std::filesystem::remove(settings.outbox / "new" / name, ec);
  return *result.error;
}

OutboxReport OutboxPass(const SendSettings& settings) {
  OutboxReport report;
  if (settings.outbox.empty()) return report;
  OutboxState& state = StateOf(settings.outbox);
  std::lock_guard lock(state.mutex);
  std::error_code ec;
  // An outbox found empty stays empty until its folders change: most passes need not list it.
  bool recent = false;
  const std::string stamp = FolderStamp(settings.outbox, recent);
  if (!stamp.empty() && stamp == state.idle_stamp) {
    if (!settings.inbox.empty()) LookForBounces(settings, state, report);
    report.log.swap(state.log);
    return report;
  }
  state.idle_stamp.clear();
  bool handing_on = false, being_written = false;
  // A message being handed on is locked by its keeper, which records the outcome itself, also for
  // a program started before this one. One nobody holds lost its keeper (a power cut, its session
  // killed): whether the program took it is not known, and it is tried again.
  for (const auto& e : std::filesystem::directory_iterator(settings.outbox / "cur", ec)) {
    const std::string name = e.path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    handing_on = true;
    const int fd = ::open(e.path().c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    const bool lost =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (lost) {
      std::error_code moved;
      std::filesystem::rename(e.path(), settings.outbox / "new" / name, moved);
      if (!moved) {
        SyncFolder((settings.outbox / "new").c_str());
        ++state.unknown;
        state.log.push_back("Outbox: " + name +
                            " lost its hand-off before it ended; whether it was taken is not "
                            "known, so it is tried again (outcomes not known so far: " +
                            std::to_string(state.unknown) + ")");
      }
    }
    ::close(fd);
  }
  const std::time_t now = std::time(nullptr);
  std::vector<std::string> names, odd;
  // Names starting with a dot are files still being written; one left for an hour was cut short
  // by a stop, and its text was never sent.
  for (const auto& e : std::filesystem::directory_iterator(settings.outbox / "new", ec)) {
    const std::string name = e.path().filename().string();
    struct stat st {};
    if (name[0] != '.' && ::lstat(e.path().c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      odd.push_back(name);
    } else if (name[0] != '.') {
      names.push_back(name);
    } else if (now - QueuedAt("", e.path()) > 3600) {
      std::filesystem::remove(e.path(), ec);
    } else {
      being_written = true;
    }
  }
  // Not a message we wrote (a FIFO, a device, a link): set aside at once, never opened.
  for (const std::string& name : odd) Fail(settings, state, name, "not a regular file");
  std::sort(names.begin(), names.end());
  std::set<std::string> present(names.begin(), names.end());
  std::erase_if(state.waiting, [&](const auto& w) { return !present.contains(w.first); });
  for (const std::string& name : names) {
    const std::filesystem::path file = settings.outbox / "new" / name;
    const auto known = state.waiting.find(name);
    // Too old to mean anything now: a reminder after its meeting is noise.
    if (now - QueuedAt(name, file) > settings.expiry.count()) {
      const std::string why = known != state.waiting.end() ? known->second.error : "";
      Fail(settings, state, name,
           "not handed on within " + std::to_string(settings.expiry.count() / 3600) + " h" +
               (why.empty() ? "" : ": " + why));
      continue;
    }
    if (settings.sendmail.empty()) {
      state.why = "no sendmail program is configured";
      continue;
    }
    if (known != state.waiting.end() && std::chrono::steady_clock::now() < known->second.next)
      continue;
    const std::string to = RecipientOf(file);
    if (to.empty() || !ValidAddress(to)) {
      Fail(settings, state, name, "no recipient one could send to");
      continue;
    }
    Attempt(settings, state, name, to);
  }
  std::size_t left = 0;
  for (const auto& e : std::filesystem::directory_iterator(settings.outbox / "new", ec))
    left += e.path().filename().string()[0] != '.' ? 1 : 0;
  report.waiting = left;
  report.why = left > 0 ? state.why : "";
  // Empty, as far as a later pass can tell from the folders' times.
  if (left == 0 && !handing_on && !being_written && !recent && odd.empty())
    state.idle_stamp = stamp;
  // What each waiting text last met, for the inspector.
  std::string reasons;
  for (const auto& [name, w] : state.waiting) {
    if (!w.error.empty()) reasons += name + "\t" + w.error + "\n";
  }
  if (reasons != state.reasons) {
    try {
      ravenox::platform::WriteFileAtomically(ReasonsFile(settings.outbox), reasons, 0600);
      state.reasons = reasons;
    } catch (const std::exception&) {
      // Only the inspector reads it.
    }
  }
  if (!settings.inbox.empty()) LookForBounces(settings, state, report);
  report.log.swap(state.log);
  return report;
}

}  // namespace outlook::outbox
