#include "platform/Clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace ravenox::platform {

TDateTime SystemClock::Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // A pass asks the time for every item and every log line: the local date and time of day of a
  // second are worked out once (localtime takes a lock and walks the zone's transitions), then only
  // the fraction of the second is added.
  thread_local std::time_t second = -1;
  thread_local std::tm local{};
  if (ts.tv_sec != second) {
#if defined(_WIN32)
    localtime_s(&local, &ts.tv_sec);
#else
    localtime_r(&ts.tv_sec, &local);
#endif
    second = ts.tv_sec;
  }
  return FromTm(local, ts.tv_nsec);
}

void SystemClock::Sleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace ravenox::platform
