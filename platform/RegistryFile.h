// The registry on Linux: a text file in the registry editor's export format (REGEDIT4, UTF-8), so
// values keep their types and a person can read and edit it:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Brindlemoor\Ravenox]
//   "Version"="01.01.00.001"
//   "MeetingNotify"=dword:00000001
//   "EarlyTime"=hex:00,00,00,00,00,00,d2,3f
//
// An open key holds an exclusive lock (a lock file beside the registry file) so a second copy of
// the program waits; every write, or every batch of writes, replaces the file atomically. A file
// that cannot be parsed is renamed with a ".corrupt" suffix, reported, and the store starts empty;
// a file that is there but cannot be read at all is an error, and is never written over.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace ravenox::platform {

struct RegValue {
  std::string name;
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;  // strings without their terminating zero
};

struct RegKeyData {
  std::string path;  // below HKEY_CURRENT_USER, or whole when `under_user` is false
  std::vector<RegValue> values;
  bool under_user = true;  // under HKEY_CURRENT_USER (a file may name other roots too)
};

// Parsing and printing of the export format. Parse throws RegistryError with the line number.
std::vector<RegKeyData> ParseRegFile(const std::string& text);
std::string PrintRegFile(const std::vector<RegKeyData>& keys);

class RegistryFile final : public RegistryStore {
 public:
  using Reporter = std::function<void(const std::string&)>;

  // `reporter` hears of a damaged file moved aside; by default it is written to standard error.
  explicit RegistryFile(std::filesystem::path file, Reporter reporter = {});

  // $XDG_CONFIG_HOME/Brindlemoor/Ravenox.reg, or ~/.config/Brindlemoor/Ravenox.reg.
  static std::filesystem::path DefaultPath();

  std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;
  const std::filesystem::path& File() const { return file_; }

 private:
  std::filesystem::path file_;
  Reporter reporter_;
};

// The settings file as it is now, for reading only: nothing is locked, created or moved aside (a
// damaged file is a RegistryError), and every write throws RegistryError.
class RegistrySnapshot final : public RegistryStore {
 public:
  explicit RegistrySnapshot(std::filesystem::path file) : file_(std::move(file)) {}
  std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;

 private:
  std::filesystem::path file_;
};

}  // namespace ravenox::platform
