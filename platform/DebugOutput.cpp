#include "platform/DebugOutput.h"

#include <unistd.h>

#include <string>

namespace ravenox::platform {

void StderrDebugOutput::Write(std::string_view line) {
  // One write per line keeps lines from two threads from interleaving.
  std::string text(line);
  text.push_back('\n');
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace ravenox::platform
