// What the atomic files of both systems share: the stale temporaries' clean-up and the bounded
// reads of a regular file.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <system_error>

#include "platform/AtomicFile.h"

namespace ravenox::platform {

void RemoveStaleTemporaries(const std::filesystem::path& path) {
  const std::filesystem::path folder =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const std::string prefix = "." + path.filename().string() + ".";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    // Exactly the names mkostemp makes from our template: the prefix and six letters or digits.
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    bool ours = true;
    for (std::size_t i = prefix.size(); i < name.size(); ++i)
      ours = ours && std::isalnum(static_cast<unsigned char>(name[i]));
    std::error_code ignored;
    if (ours && entry.is_regular_file(ignored)) std::filesystem::remove(entry.path(), ignored);
  }
}

bool ReadRegularFile(const std::filesystem::path& path, std::size_t limit, std::string& out) {
  const int fd = OpenRegularFile(path);
  if (fd < 0) return false;
  out.clear();
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), "Cannot read " + path.string());
    }
    if (n == 0) break;
    if (out.size() + static_cast<std::size_t>(n) > limit) {
      ::close(fd);
      throw std::system_error(EFBIG, std::generic_category(),
                              "Larger than " + std::to_string(limit) + " bytes: " + path.string());
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

std::string ReadFileHead(const std::filesystem::path& path, std::size_t limit) {
  int fd = -1;
  try {
    fd = OpenRegularFile(path);
  } catch (const std::exception&) {
    return {};
  }
  if (fd < 0) return {};
  std::string out;
  char buffer[65536];
  while (out.size() < limit) {
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace ravenox::platform
