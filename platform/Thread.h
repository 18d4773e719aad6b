// The priority of the calling thread.
#pragma once

namespace ravenox::platform {

// "Below normal" for the calling thread (the engine's): on Linux a few nice steps under its
// creator, on Windows THREAD_PRIORITY_BELOW_NORMAL. Where the system refuses, nothing changes.
void LowerThisThreadPriority();

}  // namespace ravenox::platform
