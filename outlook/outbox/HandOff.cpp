#include "outlook/outbox/HandOff.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "outlook/OutlookModel.h"
#include "platform/AtomicFile.h"

namespace outlook::outbox {
namespace {

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

std::mutex unreaped_mutex;
std::vector<pid_t> unreaped;  // keepers left to finish on their own

}  // namespace

// A Maildir name; a text with an identity carries its hash as "R" and 16 hex digits at the end
// of the name's middle part.
std::string UniqueName(const std::string& identity_hash) {
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

// Makes a rename in `folder` durable. Safe between fork and exec.
void SyncFolder(const char* folder) {
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

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

}  // namespace outlook::outbox
