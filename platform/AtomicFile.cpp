#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <system_error>

namespace ravenox::platform {
namespace {

[[noreturn]] void Fail(int error, const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(error, std::generic_category(), what + " " + path.string());
}

}  // namespace

void WriteFileAtomically(const std::filesystem::path& path, std::string_view content, mode_t mode,
                         bool durable) {
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;
  const std::filesystem::path folder =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::string temp = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) Fail(errno, "Cannot create a file beside", path);

  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      Fail(error, "Cannot write", path);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if ((durable && ::fsync(fd) != 0) || ::fchmod(fd, mode) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    Fail(error, "Cannot write", path);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    Fail(error, "Cannot write", path);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    Fail(error, "Cannot replace", path);
  }
  if (!durable) return;
  // Make the rename itself durable.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

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

int OpenRegularFile(const std::filesystem::path& path) {
  // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return -1;
    Fail(errno, "Cannot open", path);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    Fail(error, "Cannot read", path);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw std::system_error(EINVAL, std::generic_category(),
                            "Not a regular file: " + path.string());
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
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
      Fail(error, "Cannot read", path);
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
