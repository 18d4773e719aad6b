#include "outlook/localstore/Sender.h"
#include "outlook/localstore/Support.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

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

std::string UniqueName() {
  static std::atomic<unsigned> counter{0};
  char host[128] = {};
  gethostname(host, sizeof host - 1);
  for (char& c : host) {
    if (c == '/' || c == ':') c = '_';
  }
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return std::to_string(ts.tv_sec) + ".M" + std::to_string(ts.tv_nsec / 1000) + "P" +
         std::to_string(getpid()) + "Q" + std::to_string(counter++) + "." + host;
}

// Runs argv with `input` on standard input; returns the exit status, the error text, or throws
// on a time-out.
int Run(const std::vector<std::string>& argv, const std::string& input, std::string& errors,
        std::chrono::seconds timeout) {
  int in_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0)
    throw AutomationError(std::string("pipe: ") + std::strerror(errno));
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    throw AutomationError(std::string("pipe: ") + std::strerror(errno));
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw AutomationError(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(err_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    execv(args[0], args.data());
    const char* text = "cannot run the sendmail program\n";
    (void)!write(STDERR_FILENO, text, std::strlen(text));
    _exit(127);
  }
  close(in_pipe[0]);
  close(err_pipe[1]);
  fcntl(in_pipe[1], F_SETFL, fcntl(in_pipe[1], F_GETFL) | O_NONBLOCK);
  // A child that exits early must not kill us with SIGPIPE.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t written = 0;
  int in_fd = in_pipe[1];
  int err_fd = err_pipe[0];
  fcntl(err_fd, F_SETFL, fcntl(err_fd, F_GETFL) | O_NONBLOCK);
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
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
  // The program is done when it exits, not when its output ends: a child it leaves behind may
  // hold the output open long after.
  int status = 0;
  bool exited = false, timed_out = false;
  while (!exited) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      exited = true;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd fds[2];
    int n = 0;
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    // Short naps: the exit itself does not wake a poll.
    const int nap = static_cast<int>(std::min<long long>(left.count(), 20));
    if (poll(fds, static_cast<nfds_t>(n), nap) < 0 && errno != EINTR) usleep(2000);
    for (int i = 0; i < n; ++i) {
      if (fds[i].fd == in_fd && (fds[i].revents & (POLLOUT | POLLERR | POLLHUP))) {
        const ssize_t w = write(in_fd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
          close(in_fd);
          in_fd = -1;
        }
      } else if (fds[i].fd == err_fd && (fds[i].revents & (POLLIN | POLLERR | POLLHUP))) {
        read_errors();
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  read_errors();  // what the program said before it exited
  if (err_fd >= 0) close(err_fd);
  if (timed_out) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    sigaction(SIGPIPE, &old, nullptr);
    throw AutomationError("The sendmail program did not finish within " +
                          std::to_string(timeout.count()) + " seconds");
  }
  sigaction(SIGPIPE, &old, nullptr);
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

std::string ComposeMessage(const std::string& from, const std::string& to,
                           const std::string& subject, const std::string& body) {
  EnsureGMime();
  GMimeMessage* message = g_mime_message_new(TRUE);
  g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_FROM, nullptr, HeaderSafe(from).c_str());
  g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_TO, nullptr, HeaderSafe(to).c_str());
  // Encoded as RFC 2047 words when it is not plain ASCII.
  g_mime_message_set_subject(message, HeaderSafe(subject).c_str(), "utf-8");
  GDateTime* now = g_date_time_new_now_local();
  g_mime_message_set_date(message, now);
  g_date_time_unref(now);
  const std::string from_safe = HeaderSafe(from);
  const std::size_t at = from_safe.rfind('@');
  const std::string domain = at != std::string::npos ? from_safe.substr(at + 1) : "localhost";
  gchar* id = g_mime_utils_generate_message_id(domain.c_str());
  g_mime_message_set_message_id(message, id);
  g_free(id);

  GMimeTextPart* part = g_mime_text_part_new_with_subtype("plain");
  g_mime_text_part_set_text(part, body.c_str());  // picks the charset and transfer encoding
  g_mime_message_set_mime_part(message, GMIME_OBJECT(part));
  g_object_unref(part);

  GMimeFormatOptions* format = g_mime_format_options_clone(g_mime_format_options_get_default());
  g_mime_format_options_set_newline_format(format, GMIME_NEWLINE_FORMAT_UNIX);
  gchar* text = g_mime_object_to_string(GMIME_OBJECT(message), format);
  std::string out = text != nullptr ? text : "";
  g_free(text);
  g_mime_format_options_free(format);
  g_object_unref(message);
  return out;
}

void SendMessage(const SendSettings& settings, const std::string& to, const std::string& subject,
                 const std::string& body) {
  if (!ValidAddress(to)) {
    throw AutomationError("The phone address \"" + HeaderSafe(to) +
                          "\" is not a valid e-mail address");
  }
  const std::string message = ComposeMessage(settings.from, to, subject, body);

  // Into the outbox first, so nothing is lost whatever happens next.
  MakeMaildir(settings.outbox);
  const std::string name = UniqueName();
  const std::filesystem::path queued = settings.outbox / "new" / name;
  try {
    ravenox::platform::WriteFileAtomically(queued, message, 0600);
  } catch (const std::exception& e) {
    throw AutomationError(std::string("Cannot queue the message: ") + e.what());
  }

  if (settings.sendmail.empty()) {
    throw AutomationError("No sendmail program is configured; the message waits in " +
                          settings.outbox.string());
  }
  std::vector<std::string> argv = settings.sendmail;
  argv.push_back("--");
  argv.push_back(to);
  std::string errors;
  const int status = Run(argv, message, errors, settings.timeout);
  if (status != 0) {
    throw AutomationError("The sendmail program failed (exit status " + std::to_string(status) +
                          "): " + HeaderSafe(errors) + "; the message waits in " +
                          settings.outbox.string());
  }
  std::error_code ec;
  if (!settings.sent.empty()) {
    MakeMaildir(settings.sent);
    std::filesystem::rename(queued, settings.sent / "cur" / (name + ":2,S"), ec);
  }
  if (settings.sent.empty() || ec) std::filesystem::remove(queued, ec);
}

}  // namespace outlook::localstore
