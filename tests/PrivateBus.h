// A program of the test's own, started with its standard output on a pipe, and a message bus of
// the test's own.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace ravenox::testing {

// A program started with its standard output on a pipe; the first line it writes is kept.
class Daemon {
 public:
  explicit Daemon(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') line_ += c;
    close(fds[0]);
  }
  ~Daemon() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  const std::string& Line() const { return line_; }

 private:
  pid_t pid_ = -1;
  std::string line_;
};

// A message bus of the test's own.
class PrivateBus {
 public:
  PrivateBus()
      : daemon_({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                 "--print-address=1"}) {}
  const std::string& Address() const { return daemon_.Line(); }

 private:
  Daemon daemon_;
};

}  // namespace ravenox::testing
