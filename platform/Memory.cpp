#include "platform/Memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace ravenox::platform {

void KeepFreedMemoryForReuse() {
#if defined(__GLIBC__)
  // Up to 32 MB free at the top of the heap stays (a sweep of a large calendar still hands its
  // pages back: the reader trims the heap itself now and then); blocks below 8 MB are never
  // mapped apart. Both also stop glibc from moving the limits as it goes.
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  mallopt(M_MMAP_THRESHOLD, 8 << 20);
#endif
}

}  // namespace ravenox::platform
