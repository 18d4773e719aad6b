#include "platform/Memory.h"

#include <cstdlib>  // defines __GLIBC__ where it is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
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

void MapHeapInLargePages() {
#if defined(__GLIBC__)
  const std::uintptr_t start = heap_start.load();
  if (start == 0) return;
  const std::uintptr_t end = Break() & ~(kPage - 1);
  std::uintptr_t marked = heap_marked.load();
  if (end <= marked || !heap_marked.compare_exchange_strong(marked, end)) return;
  // The whole heap again: what the break added since is a mapping of its own until marked alike,
  // and marking joins them. Where the system has no large pages this changes nothing.
  madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  // The system's own collapsing of small pages into large ones gets to a heap of a hundred MB
  // only after minutes; what grew since the last call is collapsed now. Older systems refuse.
  const std::uintptr_t from = std::max(start, marked & ~(kLargePage - 1));
  const std::uintptr_t to = end & ~(kLargePage - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_COLLAPSE);
#endif
}

}  // namespace ravenox::platform
