// How much disk traffic and time one debug line costs once the log is mirrored to DEBUG.LOG.
//   debuglog_bench [lines]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "EngineFakes.h"

namespace {

// Bytes this process has handed to write() so far.
long long WrittenBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 20000;
  ravenox::testing::TempDir dir;
  ravenox::engine::QuietHost host;
  ravenox::engine::ProcessorEnvironment env;
  env.clock = std::make_shared<ravenox::testing::FakeClock>();
  env.input = std::make_shared<ravenox::testing::FakeInput>();
  env.working_dir = dir.path();
  env.start_thread = false;
  env.open_event = [](const std::string&, std::string&) {
    return std::make_unique<ravenox::platform::LocalEvent>();
  };
  ravenox::engine::TOutlookProcessor engine(host, env);
  engine.DebugEnabled = true;

  const std::string message = "Checking for:09:30:00@loc:Room 4:Weekly staff meeting agenda";
  // What rewriting the whole file for every line would have written, for comparison.
  long long rewrite_bytes = 0;
  const long long before = WrittenBytes();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < lines; ++i) {
    engine.DebugLog(message);
    if (engine.DebugLineCount() > 250)
      rewrite_bytes += static_cast<long long>(engine.DebugText().size());
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const long long written = WrittenBytes() - before;
  const double us = std::chrono::duration<double, std::micro>(elapsed).count();
  std::printf("debug log: %d lines\n", lines);
  std::printf("  bytes written per line: %.1f (rewriting the file every line: %.1f)\n",
              static_cast<double>(written) / lines, static_cast<double>(rewrite_bytes) / lines);
  std::printf("  time per line: %.2f us\n", us / lines);
  return 0;
}
