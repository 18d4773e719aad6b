#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/Memory.h"

namespace ravenox::platform {
namespace {

// In a child of its own: the settings hold for the whole process, and only before threads start.
TEST(Memory, ThreadsShareOneHeapKeptWholeAndMarkedForLargePages) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers bring an allocator of their own";
#endif
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    KeepFreedMemoryForReuse();
    std::uintptr_t block = 0;
    // Larger than glibc would take from the heap by itself, and a thread's block would be in a
    // heap of the thread's own.
    std::thread([&] {
      block = reinterpret_cast<std::uintptr_t>(std::malloc(4 << 20)) + (4 << 20) - 1;
    }).join();
    MapHeapInLargePages();
    std::ifstream maps("/proc/self/smaps");
    // The mapping that holds the block's end (the heap grew for it): the heap's, marked.
    std::uintptr_t from = 0, to = 0;
    for (std::string line; std::getline(maps, line);) {
      if (line.find("[heap]") != std::string::npos) {
        from = std::stoull(line, nullptr, 16);
        to = std::stoull(line.substr(line.find('-') + 1), nullptr, 16);
      } else if (from <= block && block < to && line.rfind("VmFlags:", 0) == 0) {
        const bool large = !std::filesystem::exists("/sys/kernel/mm/transparent_hugepage") ||
                           line.find(" hg") != std::string::npos;
        _exit(large ? 0 : 2);
      }
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the thread's block is not in the heap; 2: the heap is "
                                       "not marked for large pages";
}

}  // namespace
}  // namespace ravenox::platform
