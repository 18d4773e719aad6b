#include "platform/Paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace ravenox::platform {

std::filesystem::path XdgDir(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && *value == '/') return value;
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : ".") / fallback;
}

std::filesystem::path ProgramDataFolder() {
  return XdgDir("XDG_DATA_HOME", ".local/share") / "Brindlemoor" / "Ravenox";
}

std::vector<std::filesystem::path> EarlierDataFolders() {
  std::error_code ec;
  return {std::filesystem::current_path(ec), XdgDir("HOME", "."),
          XdgDir("XDG_STATE_HOME", ".local/state") / "ravenox"};
}

void MakePrivateFolder(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0)
    throw std::system_error(errno, std::generic_category(), "Cannot open " + folder.string());
  if (!S_ISDIR(st.st_mode))
    throw std::system_error(ENOTDIR, std::generic_category(), "Not a folder: " + folder.string());
  if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), st.st_mode & 0700) != 0)
    throw std::system_error(errno, std::generic_category(), "Cannot protect " + folder.string());
}

}  // namespace ravenox::platform
