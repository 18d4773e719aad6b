#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace ravenox::platform {

TDateTime SystemClock::Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FromUnixLocal(ts.tv_sec, ts.tv_nsec);
}

void SystemClock::Sleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace ravenox::platform
