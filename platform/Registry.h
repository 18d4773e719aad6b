// Keys and typed values under the current user, the way the registry holds them.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ravenox::platform {

// Value types, numbered as the registry numbers them.
enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
};

class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ReadStatus { kOk, kMissing, kWrongType };

template <typename T>
struct ReadResult {
  ReadStatus status = ReadStatus::kMissing;
  T value{};
  bool ok() const { return status == ReadStatus::kOk; }
};

// An open key. Closing it (destroying the object) releases whatever the backend holds.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // REG_SZ, or REG_EXPAND_SZ taken literally.
  virtual ReadResult<std::string> ReadString(const std::string& name) = 0;
  virtual ReadResult<uint32_t> ReadDword(const std::string& name) = 0;
  // REG_BINARY of any size.
  virtual ReadResult<std::vector<uint8_t>> ReadBinary(const std::string& name) = 0;
  // Writes throw RegistryError when the value cannot be stored.
  virtual void WriteString(const std::string& name, const std::string& value) = 0;
  virtual void WriteDword(const std::string& name, uint32_t value) = 0;
  virtual void WriteBinary(const std::string& name, const std::vector<uint8_t>& value) = 0;
  // Writes between the two calls are stored together, all or none, when the batch is committed
  // (a backend whose every write is already safe may store them at once).
  virtual void BeginBatch() {}
  virtual void CommitBatch() {}
};

// The current user's part of the registry.
class RegistryStore {
 public:
  virtual ~RegistryStore() = default;
  // Opens `path` (e.g. "Software\\Brindlemoor\\Ravenox") under the current user, creating it if it
  // is missing. Throws RegistryError when that is impossible.
  virtual std::unique_ptr<RegistryKey> OpenKey(const std::string& path) = 0;
};

}  // namespace ravenox::platform
