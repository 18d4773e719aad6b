#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/Memory.h"

namespace ravenox::platform {
namespace {

// The resident size of the mapping that begins at `at`, in kB (-1: none begins there).
long ResidentKb(const void* at) {
  std::ifstream maps("/proc/self/smaps");
  bool found = false;
  for (std::string line; std::getline(maps, line);) {
    if (line.find('-') != std::string::npos && line.find(' ') > line.find('-') &&
        std::isxdigit(static_cast<unsigned char>(line[0])) && line.rfind("Anon", 0) != 0)
      found = std::stoull(line, nullptr, 16) == reinterpret_cast<std::uintptr_t>(at);
    if (found && line.rfind("Rss:", 0) == 0) return std::stol(line.substr(4));
  }
  return -1;
}

// In a child of its own: the settings hold for the whole process, and only before threads start.
TEST(Memory, OneHeapInLargePagesAndFilePagesLetGoButNeverPagesOfItsOwn) {
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
    TrimMappedMemory();
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
        if (!large) _exit(2);
        break;
      }
    }
    if (to == 0 || block < from || block >= to) _exit(1);
    // With the heap grown no more, the pages of read-only file mappings go; pages a mapping holds
    // of its own (as relocated data made read-only) stay as written.
    char path[] = "/tmp/ravenox-memory-XXXXXX";
    const int fd = mkstemp(path);
    const std::string bytes(16 * 4096, 'x');
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      _exit(5);
    unlink(path);
    auto* shared =
        static_cast<volatile char*>(mmap(nullptr, bytes.size(), PROT_READ, MAP_PRIVATE, fd, 0));
    auto* own =
        static_cast<char*>(mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0));
    for (std::size_t i = 0; i < bytes.size(); i += 4096) {
      (void)shared[i];
      own[i] = 'y';
    }
    mprotect(own, bytes.size(), PROT_READ);
    TrimMappedMemory();
    if (ResidentKb(const_cast<char*>(shared)) != 0) _exit(3);
    for (std::size_t i = 0; i < bytes.size(); i += 4096) {
      if (own[i] != 'y') _exit(4);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: the thread's block is not in the heap; 2: the heap is not marked for large pages; 3: "
         "file pages still mapped; 4: a mapping's own pages lost";
}

}  // namespace
}  // namespace ravenox::platform
