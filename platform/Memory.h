// How the process keeps memory it has freed, and how its memory is mapped.
#pragma once

namespace ravenox::platform {

// A program that runs all day and does the same small pass every few seconds: memory freed in a
// pass is kept for the next one instead of going back to the system, where each page would be
// faulted in again (on a virtual machine a fault costs as much as the pass's own work). Large
// buffers come from the heap and are reused rather than mapped and unmapped each time; all
// threads share one heap, so that `MapHeapInLargePages` covers what they hold. Call once, at the
// start of the program, before any thread starts.
void KeepFreedMemoryForReuse();

// Asks the system to back the heap with large pages where it can (transparent huge pages, where
// the system leaves them to the program). A process that sleeps between short passes pays, on
// some virtual machines, for every small page it has mapped each time it wakes; a heap of a few
// thousand small pages is a few dozen large ones. Cheap when the heap has not grown since the
// last call: call it before each wait.
void MapHeapInLargePages();

}  // namespace ravenox::platform
