// How the process keeps memory it has freed, and how its memory is mapped.
#pragma once

#include <cstddef>

namespace ravenox::platform {

// A program that runs all day and does the same small pass every few seconds: memory freed in a
// pass is kept for the next one instead of going back to the system, where each page would be
// faulted in again (on a virtual machine a fault costs as much as the pass's own work). Large
// buffers come from the heap and are reused rather than mapped and unmapped each time; all
// threads share one heap, so that `TrimMappedMemory` covers what they hold. Call once, at the
// start of the program, before any thread starts.
void KeepFreedMemoryForReuse();

// Keeps what the process has mapped small, for a process that sleeps between short passes: on
// some virtual machines it pays, each time it wakes, for every small page it has mapped. The
// heap is backed with large pages where the system allows it (a heap of a few thousand small
// pages is a few dozen large ones); once the heap stops growing, and every hour, the pages of
// the program's code and libraries are unmapped (they stay in the page cache, and those a pass
// uses come back at once). Cheap when there is nothing to do: call it before each wait.
void TrimMappedMemory();

// `bytes` of memory that stays until the process ends, for what a short-lived program keeps to the
// end: mapped apart from the heap and backed with large pages where the system has them, so that
// filling it costs a page fault every 2 MB instead of every 4 KB. Null when it cannot be had.
void* MapForLife(std::size_t bytes);

}  // namespace ravenox::platform
