// Input since the last look, told from an idle time: the last input lies after the previous look
// when the idle time is shorter than the time since that look.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace ravenox::platform {

class IdleClock {
 public:
  // `idle_ms`: the idle time the source gave now; none when it did not answer.
  std::optional<bool> Update(std::optional<uint64_t> idle_ms) {
    if (!idle_ms) return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    // The first look: input within the last moment.
    uint64_t since = 1000;
    if (looked_) {
      since = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(now - last_).count());
    }
    looked_ = true;
    last_ = now;
    idle_ms_ = *idle_ms;
    // A millisecond to spare each way: input right at a look is taken for input after it.
    return *idle_ms <= since + 1;
  }
  double IdleSeconds() const { return static_cast<double>(idle_ms_) / 1000.0; }

 private:
  bool looked_ = false;
  std::chrono::steady_clock::time_point last_{};
  uint64_t idle_ms_ = 0;
};

}  // namespace ravenox::platform
