// How the process keeps memory it has freed.
#pragma once

namespace ravenox::platform {

// A program that runs all day and does the same small pass every few seconds: memory freed in a
// pass is kept for the next one instead of going back to the system, where each page would be
// faulted in again (on a virtual machine a fault costs as much as the pass's own work). Large
// buffers come from the heap and are reused rather than mapped and unmapped each time. Call once,
// at the start of the program, before any thread starts.
void KeepFreedMemoryForReuse();

}  // namespace ravenox::platform
