#pragma once

#include "base/DateTime.h"

namespace ravenox::engine {

// The day the engine's tests play on (a Tuesday), and a time of it.
inline const TDateTime kToday = EncodeDate(2026, 12, 8);
inline TDateTime At(int h, int m, int s = 0, int ms = 0) {
  return kToday + EncodeTime(h, m, s, ms).Value();
}

}  // namespace ravenox::engine
