// Atomic files on Windows: written beside the old one and moved over it with MoveFileEx, which
// replaces the old file in one step.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <random>
#include <string>
#include <system_error>

#include "platform/AtomicFile.h"
#include "platform/WindowsText.h"

namespace ravenox::platform {
namespace {

[[noreturn]] void Fail(DWORD error, const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(static_cast<int>(error), std::system_category(),
                          what + " " + Utf8Text(path.wstring()));
}

}  // namespace

// The mode is the folder's to give on Windows: a new file inherits the folder's permissions.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view content, mode_t,
                         bool durable) {
  const std::filesystem::path folder =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  // The same names as on Linux, so that RemoveStaleTemporaries knows them: ".name." and six
  // letters or digits.
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  HANDLE file = INVALID_HANDLE_VALUE;
  std::filesystem::path temp;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    std::wstring name = L"." + path.filename().wstring() + L".";
    for (int i = 0; i < 6; ++i) name += static_cast<wchar_t>(kLetters[random() % 62]);
    temp = folder / name;
    file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
      Fail(GetLastError(), "Cannot create a file beside", path);
  }
  if (file == INVALID_HANDLE_VALUE) Fail(ERROR_FILE_EXISTS, "Cannot create a file beside", path);

  auto give_up = [&](const char* what) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    DeleteFileW(temp.c_str());
    Fail(error, what, path);
  };
  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0) give_up("Cannot write");
    p += written;
    left -= written;
  }
  if (durable && !FlushFileBuffers(file)) give_up("Cannot write");
  CloseHandle(file);
  if (!MoveFileExW(temp.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0))) {
    const DWORD error = GetLastError();
    DeleteFileW(temp.c_str());
    Fail(error, "Cannot replace", path);
  }
}

int OpenRegularFile(const std::filesystem::path& path) {
  const int fd = _wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    if (errno == ENOENT) return -1;
    throw std::system_error(errno, std::generic_category(),
                            "Cannot open " + Utf8Text(path.wstring()));
  }
  struct _stat64 st {};
  if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    _close(fd);
    throw std::system_error(EINVAL, std::generic_category(),
                            "Not a regular file: " + Utf8Text(path.wstring()));
  }
  return fd;
}

bool IsReadOnlyFile(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;  // missing: it will be created
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 || _waccess(path.c_str(), 2) != 0;
}

bool AppendIfUnchanged(const std::filesystem::path& path, uint64_t expected_size,
                       std::string_view text) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // The read-only mark counts even for an account that could write anyway.
  BY_HANDLE_FILE_INFORMATION info{};
  bool ok =
      GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
      ((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow) == expected_size;
  const char* p = text.data();
  std::size_t left = text.size();
  while (ok && left > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
    DWORD written = 0;
    ok = WriteFile(file, p, chunk, &written, nullptr) && written > 0;
    p += written;
    left -= written;
  }
  return CloseHandle(file) && ok;
}

// The user's local application data is the user's alone already.
void KeepToOwner(const std::filesystem::path&) {}

}  // namespace ravenox::platform
