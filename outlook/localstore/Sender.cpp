#include "outlook/localstore/Sender.h"
#include "outlook/localstore/Bounces.h"
#include "outlook/localstore/Support.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

namespace outlook::localstore {
namespace {

bool ValidAddress(const std::string& address) {
  if (address.empty() || address.size() > 254 || address[0] == '-') return false;
  const std::size_t at = address.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= address.size() ||
      address.find('@', at + 1) != std::string::npos)
    return false;
  for (const char c : address) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == ',' || c == ';' || c == '<' || c == '>' || c == '"' ||
        c == '(' || c == ')' || c == '\\' || c == '[' || c == ']')
      return false;
  }
  return true;
}

// A Maildir name; a text with an identity carries its hash as "R" and 16 hex digits at the end
// of the name's middle part.
std::string UniqueName(const std::string& identity_hash = {}) {
  static std::atomic<unsigned> counter{0};
  char host[128] = {};
  gethostname(host, sizeof host - 1);
  for (char& c : host) {
    if (c == '/' || c == ':') c = '_';
  }
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return std::to_string(ts.tv_sec) + ".M" + std::to_string(ts.tv_nsec / 1000) + "P" +
         std::to_string(getpid()) + "Q" + std::to_string(counter++) +
         (identity_hash.empty() ? "" : "R" + identity_hash) + "." + host;
}

// The identity's hash in a name, or "".
std::string IdentityHashOf(const std::string& name) {
  const std::size_t first = name.find('.');
  if (first == std::string::npos) return {};
  const std::size_t second = name.find('.', first + 1);
  const std::string middle = name.substr(first + 1, second - first - 1);
  const std::size_t r = middle.rfind('R');
  if (r == std::string::npos || middle.size() - r - 1 != 16) return {};
  const std::string hash = middle.substr(r + 1);
  return std::all_of(hash.begin(), hash.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })
             ? hash
             : std::string();
}

// A text's identity as 16 hex digits (FNV-1a, the same in every run and on every machine).
std::string IdentityHash(const std::string& identity) {
  uint64_t h = 14695981039346656037ull;
  for (const unsigned char c : identity) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

// How a hand-off ended, besides the sendmail program's own exit status.
constexpr int kTimedOut = 124;     // the program was stopped at its time limit: outcome not known
constexpr int kTaken = 126;        // another hand-off has the message
constexpr int kStillRunning = -1;  // the keeper is still at it; it records the outcome itself

// Closes every file descriptor above the standard ones but `a` and `b`. Safe between fork and exec.
void CloseAllBut(int a, int b) {
  if (a > b) std::swap(a, b);
  auto close_from_to = [](unsigned first, unsigned last) {
    if (first > last) return;
    if (syscall(SYS_close_range, first, last, 0) == 0) return;
    for (unsigned fd = first; fd <= std::min(last, 65535u); ++fd) close(static_cast<int>(fd));
  };
  if (a >= 3) close_from_to(3, static_cast<unsigned>(a) - 1);
  close_from_to(std::max(3u, static_cast<unsigned>(a) + 1), static_cast<unsigned>(b) - 1);
  close_from_to(static_cast<unsigned>(b) + 1, ~0u);
}

// Makes a rename in `folder` durable. Safe between fork and exec.
void SyncFolder(const char* folder) {
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Hands the message file `queued` to argv (the message on its standard input) through a keeper:
// a process of its own session that locks the message, takes it out of the queue (renames it to
// `claimed`), runs the program within `timeout`, and records the outcome itself: on success the
// message goes to `sent` (or away when that is empty), otherwise back into the queue. So the
// outcome is recorded whatever happens to us meanwhile (a crash, a kill, a Ctrl-C); a message in
// the hand-off folder whose lock nobody holds lost its keeper too (a power cut, its session
// killed). Returns the program's exit status, kTimedOut, kTaken, or kStillRunning when the keeper
// has not ended within `timeout` and a margin; `errors` is what the program said.
std::mutex unreaped_mutex;
std::vector<pid_t> unreaped;  // keepers left to finish on their own

int Run(const std::vector<std::string>& argv, const std::filesystem::path& queued,
        const std::filesystem::path& claimed, const std::filesystem::path& sent,
        std::string& errors, std::chrono::seconds timeout) {
  {
    std::lock_guard lock(unreaped_mutex);
    std::erase_if(unreaped, [](pid_t p) { return waitpid(p, nullptr, WNOHANG) != 0; });
  }
  int message = -1;
  try {
    message = ravenox::platform::OpenRegularFile(queued);
  } catch (const std::exception& e) {
    throw AutomationError(e.what());  // a FIFO or a device in the queue is no message
  }
  if (message < 0) throw AutomationError("The queued message is gone: " + queued.string());
  int err_pipe[2];
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(message);
    throw AutomationError(std::string("pipe: ") + std::strerror(errno));
  }
  // Everything the keeper needs is made now: after fork it may only make system calls.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string from = queued.string(), to = claimed.string(), done = sent.string();
  const std::string queue_folder = queued.parent_path().string(),
                    claim_folder = claimed.parent_path().string(),
                    sent_folder = sent.empty() ? std::string() : sent.parent_path().string();
  const long long limit_ms = static_cast<long long>(timeout.count()) * 1000;
  const pid_t pid = fork();
  if (pid < 0) {
    close(message);
    close(err_pipe[0]);
    close(err_pipe[1]);
    throw AutomationError(std::string("fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    setsid();
    // Nothing else of ours stays open in the keeper: it may outlive us, and a lock of ours it held
    // (the settings file's, the one copy's) would outlive us with it.
    CloseAllBut(message, err_pipe[1]);
    if (flock(message, LOCK_EX | LOCK_NB) != 0 || rename(from.c_str(), to.c_str()) != 0) {
      const char* text = "the message was taken from the queue by another hand-off\n";
      (void)!write(err_pipe[1], text, std::strlen(text));
      _exit(kTaken);
    }
    SyncFolder(claim_folder.c_str());
    SyncFolder(queue_folder.c_str());
    const pid_t program = fork();
    if (program == 0) {
      dup2(message, STDIN_FILENO);
      dup2(err_pipe[1], STDOUT_FILENO);
      dup2(err_pipe[1], STDERR_FILENO);
      execv(args[0], args.data());
      const char* text = "cannot run the sendmail program\n";
      (void)!write(STDERR_FILENO, text, std::strlen(text));
      _exit(127);
    }
    close(err_pipe[1]);
    int status = 0;
    bool late = program < 0;
    timespec began{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &began);
    while (program > 0) {
      const pid_t r = waitpid(program, &status, WNOHANG);
      if (r == program) break;
      if (r < 0 && errno != EINTR) {
        late = true;  // cannot tell how it ended
        break;
      }
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long long ms =
          (now.tv_sec - began.tv_sec) * 1000LL + (now.tv_nsec - began.tv_nsec) / 1000000;
      if (ms >= limit_ms) {
        kill(program, SIGKILL);
        waitpid(program, &status, 0);
        late = true;
        break;
      }
      const timespec nap{0, 10 * 1000000L};
      nanosleep(&nap, nullptr);
    }
    if (!late && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      if (done.empty() || rename(to.c_str(), done.c_str()) != 0) unlink(to.c_str());
      if (!sent_folder.empty()) SyncFolder(sent_folder.c_str());
      SyncFolder(claim_folder.c_str());
      _exit(0);
    }
    rename(to.c_str(), from.c_str());  // back into the queue for the next try
    SyncFolder(queue_folder.c_str());
    SyncFolder(claim_folder.c_str());
    if (late) _exit(kTimedOut);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code == kTimedOut || code == kTaken || code == 0) code = 1;  // ours mean other things
    _exit(code);
  }
  close(message);
  close(err_pipe[1]);

  // The keeper stops the program at its limit; this waits a little longer for the keeper.
  const auto deadline = std::chrono::steady_clock::now() + timeout + std::chrono::seconds(10);
  int err_fd = err_pipe[0];
  fcntl(err_fd, F_SETFL, fcntl(err_fd, F_GETFL) | O_NONBLOCK);
  auto read_errors = [&] {
    char buffer[4096];
    while (err_fd >= 0) {
      const ssize_t r = read(err_fd, buffer, sizeof buffer);
      if (r < 0 && errno == EINTR) continue;
      if (r > 0) {
        if (errors.size() < 4096) errors.append(buffer, static_cast<std::size_t>(r));
        continue;
      }
      if (r == 0 || errno != EAGAIN) {
        close(err_fd);
        err_fd = -1;
      }
      break;
    }
  };
  // The program is done when its keeper exits, not when its output ends: a child it leaves
  // behind may hold the output open long after.
  int status = 0;
  bool exited = false;
  while (!exited) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      exited = true;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fds[1];
    int n = 0;
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    // Short naps: the exit itself does not wake a poll.
    const int nap = static_cast<int>(std::min<long long>(left.count(), 20));
    if (n == 0 || (poll(fds, static_cast<nfds_t>(n), nap) < 0 && errno != EINTR)) usleep(2000);
    if (n > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP))) read_errors();
  }
  read_errors();  // what the program said before it exited
  if (err_fd >= 0) close(err_fd);
  if (!exited) {
    // Its keeper records how it ends; it is reaped at a later hand-off.
    std::lock_guard lock(unreaped_mutex);
    unreaped.push_back(pid);
    return kStillRunning;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

std::string HeaderSafe(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return out;
}

namespace {

constexpr std::size_t kFoldAt = 76;  // a folded header line stays within 78 characters

bool PlainAscii(std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) return false;
  }
  return true;
}

// The text as valid UTF-8, with control characters (C0 and C1) as blanks: nothing a phone shows,
// and readers treat them differently.
std::string CleanText(const std::string& text) {
  const std::string safe = HeaderSafe(text);  // no NUL inside from here on
  gchar* valid = g_utf8_make_valid(safe.data(), static_cast<gssize>(safe.size()));
  std::string out;
  for (const gchar* p = valid; p != nullptr && *p != '\0'; p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    if (g_unichar_iscntrl(c)) {
      out += ' ';
    } else {
      out.append(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
    }
  }
  g_free(valid);
  return out;
}

// `name: value`, folded only at single blanks between words of the value (so runs of blanks stay
// as they are), each line within the limit where the words allow; a word is never longer than an
// encoded word, well within 998 bytes.
std::string FoldedHeader(const std::string& name, const std::vector<std::string>& words) {
  std::string out = name + ":";
  std::size_t line = out.size();
  bool after_word = false;
  for (const auto& word : words) {
    if (!word.empty() && after_word && line + 1 + word.size() > kFoldAt) {
      out += "\n";
      line = 0;
    }
    out += " " + word;
    line += 1 + word.size();
    after_word = !word.empty();
  }
  return out + "\n";
}

// RFC 2047 encoded words (UTF-8, Q encoding) for `text`, each within 75 characters and never
// splitting a character. Q rather than base64: some readers join adjacent words before decoding,
// and a base64 word's padding would then end the text early.
std::vector<std::string> EncodedWords(const std::string& text) {
  constexpr std::size_t kMaxPayload = 75 - 12;  // "=?UTF-8?Q?" and "?="
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto encode = [](unsigned char c) -> std::string {
    if (c == ' ') return "_";
    if (std::isalnum(c) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/')
      return std::string(1, static_cast<char>(c));
    return std::string{'=', kHex[c >> 4], kHex[c & 15]};
  };
  std::vector<std::string> words;
  std::string payload;
  std::size_t at = 0;
  while (at < text.size()) {
    // One whole character at a time.
    std::size_t end = at + 1;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    std::string piece;
    for (std::size_t i = at; i < end; ++i) piece += encode(static_cast<unsigned char>(text[i]));
    if (!payload.empty() && payload.size() + piece.size() > kMaxPayload) {
      words.push_back("=?UTF-8?Q?" + payload + "?=");
      payload.clear();
    }
    payload += piece;
    at = end;
  }
  if (!payload.empty()) words.push_back("=?UTF-8?Q?" + payload + "?=");
  return words;
}

// The words of plain ASCII text, split at its blanks (an empty word for each blank of a run); none
// when the text must be encoded: not plain ASCII, or something that looks like an encoded word,
// or a word too long to fold.
std::vector<std::string> PlainWords(const std::string& value) {
  if (!PlainAscii(value) || value.find("=?") != std::string::npos ||
      value.find("?=") != std::string::npos)
    return {};
  std::vector<std::string> words;
  std::string word;
  for (const char c : value + " ") {
    if (c != ' ') {
      word += c;
      continue;
    }
    if (word.size() > kFoldAt) return {};
    words.push_back(word);
    word.clear();
  }
  return words;
}

// The domain of an address: letters, digits, dots and hyphens only, else "localhost".
std::string DomainOf(const std::string& address) {
  const std::size_t at = address.rfind('@');
  std::string domain = at != std::string::npos ? address.substr(at + 1) : "";
  for (const char c : domain) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-')) return "localhost";
  }
  return domain.empty() ? "localhost" : domain;
}

// The sender as "Name <address>" or "address", from a profile's `from` that may carry a name.
void SplitFrom(const std::string& from, std::string& name, std::string& address) {
  name.clear();
  address = HeaderSafe(from);
  InternetAddressList* list = internet_address_list_parse(nullptr, HeaderSafe(from).c_str());
  if (list == nullptr) return;
  if (internet_address_list_length(list) == 1) {
    InternetAddress* a = internet_address_list_get_address(list, 0);
    if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
      const char* display = internet_address_get_name(a);
      if (addr != nullptr) address = addr;
      if (display != nullptr) name = CleanText(display);
    }
  }
  g_object_unref(list);
}

// Parses the message back and checks it has exactly the headers meant, each once, the one
// recipient, the subject and the body it was given.
bool ComposedAsMeant(const std::string& message, const std::string& to, const std::string& subject,
                     const std::string& body) {
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(message.data(), message.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_object_unref(stream);
  GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  if (parsed == nullptr) return false;
  bool ok = true;
  // GMime keeps the Content- headers with the part; every other header stays with the message.
  auto exactly = [](GMimeHeaderList* list, std::initializer_list<const char*> names) {
    if (list == nullptr || g_mime_header_list_get_count(list) != static_cast<int>(names.size()))
      return false;
    int i = 0;
    for (const char* meant : names) {
      const char* name = g_mime_header_get_name(g_mime_header_list_get_header_at(list, i++));
      if (name == nullptr || g_ascii_strcasecmp(name, meant) != 0) return false;
    }
    return true;
  };
  GMimeObject* body_part = g_mime_message_get_mime_part(parsed);
  ok = exactly(g_mime_object_get_header_list(GMIME_OBJECT(parsed)),
               {"From", "To", "Subject", "Date", "Message-ID", "MIME-Version"}) &&
       body_part != nullptr &&
       exactly(g_mime_object_get_header_list(body_part),
               {"Content-Type", "Content-Transfer-Encoding"});
  InternetAddressList* recipients = g_mime_message_get_all_recipients(parsed);
  ok = ok && recipients != nullptr && internet_address_list_length(recipients) == 1;
  if (ok) {
    InternetAddress* a = internet_address_list_get_address(recipients, 0);
    ok = INTERNET_ADDRESS_IS_MAILBOX(a) &&
         to == internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
  }
  if (recipients != nullptr) g_object_unref(recipients);
  // Blanks at the ends of a header are not kept by readers, and mean nothing on a phone.
  auto trimmed = [](std::string_view t) {
    while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    return t;
  };
  const char* decoded = g_mime_message_get_subject(parsed);
  ok = ok && decoded != nullptr && trimmed(subject) == trimmed(decoded);
  if (ok) {
    GMimeObject* part = g_mime_message_get_mime_part(parsed);
    ok = part != nullptr && GMIME_IS_TEXT_PART(part);
    if (ok) {
      GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
      GMimeStream* out = g_mime_stream_mem_new();
      g_mime_data_wrapper_write_to_stream(content, out);
      GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
      ok = bytes != nullptr &&
           std::string(reinterpret_cast<const char*>(bytes->data), bytes->len) == body;
      g_object_unref(out);
    }
  }
  g_object_unref(parsed);
  return ok;
}

}  // namespace

std::string ComposeMessage(const std::string& from, const std::string& to,
                           const std::string& subject, const std::string& body) {
  EnsureGMime();
  if (!ValidAddress(to)) throw AutomationError("The phone address is not a valid e-mail address");
  std::string from_name, from_address;
  SplitFrom(from, from_name, from_address);
  const std::string text = CleanText(subject);

  // Every header is written here, by us: nothing in a value can end it or start another.
  std::string head;
  if (from_name.empty() || !ValidAddress(from_address)) {
    head += FoldedHeader("From", {ValidAddress(from_address) ? from_address : "ravenox@localhost"});
  } else {
    std::vector<std::string> words = EncodedWords(from_name);
    words.push_back("<" + from_address + ">");
    head += FoldedHeader("From", words);
  }
  head += FoldedHeader("To", {to});
  const std::size_t subject_at = head.size();
  GDateTime* now = g_date_time_new_now_local();
  gchar* date = g_mime_utils_header_format_date(now);
  g_date_time_unref(now);
  head += std::string("Date: ") + (date != nullptr ? date : "") + "\n";
  g_free(date);
  gchar* id = g_mime_utils_generate_message_id(DomainOf(from_address).c_str());
  head += std::string("Message-ID: <") + id + ">\n";
  g_free(id);
  head += "MIME-Version: 1.0\n";

  // Plain ASCII text goes as it is; anything else (8-bit text, a NUL, a line too long to stand in
  // a message) in base64, so that every byte of it arrives.
  bool seven_bit = true;
  std::size_t line = 0;
  for (const char c : body) {
    const auto u = static_cast<unsigned char>(c);
    line = c == '\n' ? 0 : line + 1;
    if (u == 0 || u >= 0x80 || c == '\r' || line > 900) seven_bit = false;
  }
  std::string content;
  if (seven_bit) {
    head += "Content-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: 7bit\n";
    content = body;
  } else {
    head += "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n";
    gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(body.data()), body.size());
    const std::string encoded = b64 != nullptr ? b64 : "";
    g_free(b64);
    for (std::size_t i = 0; i < encoded.size(); i += 76) content += encoded.substr(i, 76) + "\n";
  }
  // The subject as plain text where it reads back exactly so, else encoded by us; sent only as it
  // was meant: any surprise in how the message reads back, and nothing goes out.
  const std::vector<std::string> plain = PlainWords(text);
  for (const auto& words : {plain, EncodedWords(text)}) {
    if (words.empty() && !text.empty()) continue;
    std::string message = head;
    message.insert(subject_at, FoldedHeader("Subject", words));
    message += "\n" + content;
    if (ComposedAsMeant(message, to, text, body)) return message;
  }
  throw AutomationError("The message could not be composed safely and was not sent");
}

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
  std::string stamp;
  bool recent = false;
  for (const char* sub : {"new", "cur"}) {
    struct stat st {};
    if (::stat((settings.inbox / sub).c_str(), &st) != 0) continue;
    stamp += std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ";";
    recent = recent || now - st.st_mtim.tv_sec < 3;
  }
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
  // A message being handed on is locked by its keeper, which records the outcome itself, also for
  // a program started before this one. One nobody holds lost its keeper (a power cut, its session
  // killed): whether the program took it is not known, and it is tried again.
  for (const auto& e : std::filesystem::directory_iterator(settings.outbox / "cur", ec)) {
    const std::string name = e.path().filename().string();
    if (name.empty() || name[0] == '.') continue;
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

}  // namespace outlook::localstore
