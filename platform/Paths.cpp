#include "platform/Paths.h"

#include <cstdlib>

namespace ravenox::platform {

std::filesystem::path XdgDir(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && *value == '/') return value;
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : ".") / fallback;
}

}  // namespace ravenox::platform
