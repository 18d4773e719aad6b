#include "platform/DebugOutput.h"

#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ravenox::platform {

void StderrDebugOutput::Write(std::string_view line) {
  // One write per line keeps lines from two threads from interleaving.
  std::string text(line);
  text.push_back('\n');
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
#ifdef _WIN32
    const int n = ::_write(2, p, static_cast<unsigned>(left));
#else
    const ssize_t n = ::write(STDERR_FILENO, p, left);
#endif
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

#ifndef _WIN32
std::shared_ptr<DebugOutput> SystemDebugOutput() {
  return std::make_shared<StderrDebugOutput>();
}
#endif

}  // namespace ravenox::platform
