#pragma once

#include "base/DateTime.h"

namespace ravenox::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Local wall-clock time.
  virtual TDateTime Now() = 0;
  virtual void Sleep(unsigned milliseconds) = 0;
};

class SystemClock final : public Clock {
 public:
  TDateTime Now() override;
  void Sleep(unsigned milliseconds) override;
};

// A clock stopped at one moment, for answering "what would the engine do at this time?".
class FixedClock final : public Clock {
 public:
  explicit FixedClock(TDateTime at) : at_(at) {}
  TDateTime Now() override { return at_; }
  void Sleep(unsigned) override {}

 private:
  TDateTime at_;
};

}  // namespace ravenox::platform
