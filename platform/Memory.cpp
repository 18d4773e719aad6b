#include "platform/Memory.h"

#include <cstdlib>  // defines __GLIBC__ where it is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#endif

namespace ravenox::platform {

#if defined(__GLIBC__)
namespace {

constexpr std::uintptr_t kPage = 4096;
constexpr std::uintptr_t kLargePage = 2 << 20;
#if !defined(MADV_COLLAPSE)
constexpr int MADV_COLLAPSE = 25;  // Linux 6.1; older headers lack the name
#endif
// The heap from the break as the program started (what lies below is the program's own data and
// a few early blocks), and how far of it was marked.
std::atomic<std::uintptr_t> heap_start{0};
std::atomic<std::uintptr_t> heap_marked{0};

std::uintptr_t Break() {
  // sbrk(0) answers from what the C library knows: no system call.
  return reinterpret_cast<std::uintptr_t>(sbrk(0));
}

// Unmaps the pages of the program's read-only file mappings (its code and constant data, and its
// libraries'): they stay in the page cache and come back on first use, so only what a pass uses is
// mapped afterwards. A mapping that holds pages of its own (relocated data made read-only after
// loading), in memory or swapped out, is left alone: those pages are not in the file.
void ReleaseMappedFilePages() {
  FILE* smaps = std::fopen("/proc/self/smaps", "re");
  if (smaps == nullptr) return;
  char line[4352];  // a path may be PATH_MAX long
  std::uintptr_t from = 0, to = 0;
  bool candidate = false, own_pages = false;
  auto release = [&] {
    if (candidate && !own_pages && to > from)
      madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    candidate = false;
  };
  while (std::fgets(line, sizeof line, smaps) != nullptr) {
    unsigned long a = 0, b = 0, offset = 0, inode = 0;
    char perms[8] = {};
    char device[16] = {};
    int path_at = 0;
    if (std::sscanf(line, "%lx-%lx %7s %lx %15s %lu %n", &a, &b, perms, &offset, device, &inode,
                    &path_at) == 6) {
      release();
      from = a;
      to = b;
      own_pages = false;
      candidate = inode != 0 && perms[1] != 'w' && line[path_at] == '/';
    } else if (std::strncmp(line, "Anonymous:", 10) == 0 || std::strncmp(line, "Swap:", 5) == 0) {
      own_pages = own_pages || std::strtoul(std::strchr(line, ':') + 1, nullptr, 10) != 0;
    }
  }
  release();
  std::fclose(smaps);
}

// The minute of the last release of mapped file pages (-1: none yet), and whether the heap grew
// since.
std::atomic<long long> released_at{-1};
std::atomic<bool> heap_grew{false};

}  // namespace
#endif

void KeepFreedMemoryForReuse() {
#if defined(__GLIBC__)
  // Up to 32 MB free at the top of the heap stays (a sweep of a large calendar still hands its
  // pages back: the reader trims the heap itself now and then); blocks below 8 MB are never
  // mapped apart. Both also stop glibc from moving the limits as it goes.
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  mallopt(M_MMAP_THRESHOLD, 8 << 20);
  // One heap for all threads: the engine's thread would otherwise get a heap of its own, mapped
  // apart and grown a page at a time.
  mallopt(M_ARENA_MAX, 1);
  const std::uintptr_t start = (Break() + kPage - 1) & ~(kPage - 1);
  heap_start = start;
  heap_marked = start;
#endif
}

void TrimMappedMemory() {
#if defined(__GLIBC__)
  const std::uintptr_t start = heap_start.load();
  if (start == 0) return;
  const std::uintptr_t end = Break() & ~(kPage - 1);
  std::uintptr_t marked = heap_marked.load();
  if (end > marked && heap_marked.compare_exchange_strong(marked, end)) {
    // The whole heap again: what the break added since is a mapping of its own until marked
    // alike, and marking joins them. Where the system has no large pages this changes nothing.
    madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    // The system's own collapsing of small pages into large ones gets to a heap of a hundred MB
    // only after minutes; what grew since the last call is collapsed now. Older systems refuse.
    const std::uintptr_t from = std::max(start, marked & ~(kLargePage - 1));
    const std::uintptr_t to = end & ~(kLargePage - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_COLLAPSE);
    heap_grew = true;
    return;
  }
  // Once the heap has stopped growing (the first reading of the calendar is over), and every hour
  // after, the file pages mapped by then are let go: what the passes use comes back, what only
  // the start used does not.
  const long long minute = std::chrono::duration_cast<std::chrono::minutes>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  long long last = released_at.load();
  const bool due = last < 0 || minute - last >= 60 || (heap_grew.load() && minute != last);
  if (due && released_at.compare_exchange_strong(last, minute)) {
    heap_grew = false;
    ReleaseMappedFilePages();
  }
#endif
}

void* MapForLife(std::size_t bytes) {
#if defined(__GLIBC__)
  // A large page more than asked, so that the block can start on a large page's boundary.
  const std::size_t length = (bytes + kLargePage - 1) & ~(kLargePage - 1);
  void* mapped = mmap(nullptr, length + kLargePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto at = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (at + kLargePage - 1) & ~(kLargePage - 1);
  if (aligned > at) munmap(mapped, aligned - at);
  const std::uintptr_t end = at + length + kLargePage;
  if (end > aligned + length)
    munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
#else
  return std::malloc(bytes);
#endif
}

}  // namespace ravenox::platform
