// The trace channel: single lines for a developer watching the running program.
#pragma once

#include <memory>
#include <string_view>

namespace ravenox::platform {

class DebugOutput {
 public:
  virtual ~DebugOutput() = default;
  virtual void Write(std::string_view line) = 0;
};

// One line to standard error per call.
class StderrDebugOutput final : public DebugOutput {
 public:
  void Write(std::string_view line) override;
};

// The system's own trace channel: standard error on Linux, the debugger's output on Windows.
std::shared_ptr<DebugOutput> SystemDebugOutput();

}  // namespace ravenox::platform
