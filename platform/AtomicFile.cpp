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

constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

// The write bits count even for an account that could write anyway, such as root.
bool IsReadOnlyFile(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;  // missing: it will be created
  return (st.st_mode & kAnyWrite) == 0 || ::access(path.c_str(), W_OK) != 0;
}

bool AppendIfUnchanged(const std::filesystem::path& path, uint64_t expected_size,
                       std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & kAnyWrite) != 0 &&
            static_cast<uint64_t>(st.st_size) == expected_size;
  const char* p = text.data();
  std::size_t left = text.size();
  while (ok && left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ok = (::close(fd) == 0) && ok;
  return ok;
}

void KeepToOwner(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 &&
      (st.st_mode & S_IWUSR) != 0)
    ::chmod(path.c_str(), st.st_mode & 0700);
}

}  // namespace ravenox::platform
