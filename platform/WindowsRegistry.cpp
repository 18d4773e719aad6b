#include "platform/WindowsRegistry.h"

#include <windows.h>

#include <cstring>

#include "platform/WindowsText.h"

namespace ravenox::platform {

namespace {

class WindowsKey final : public RegistryKey {
 public:
  WindowsKey(HKEY key, std::string path) : key_(key), path_(std::move(path)) {}
  ~WindowsKey() override { RegCloseKey(key_); }
  WindowsKey(const WindowsKey&) = delete;
  WindowsKey& operator=(const WindowsKey&) = delete;

  ReadResult<std::string> ReadString(const std::string& name) override {
    ReadResult<std::string> r;
    DWORD type = 0;
    std::vector<uint8_t> data;
    r.status = Query(name, type, data);
    if (r.status != ReadStatus::kOk) return r;
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      r.status = ReadStatus::kWrongType;
      return r;
    }
    std::wstring wide(data.size() / sizeof(wchar_t), L'\0');
    if (!wide.empty()) std::memcpy(wide.data(), data.data(), wide.size() * sizeof(wchar_t));
    // Stored with its terminating zero, or without one by a careless writer.
    while (!wide.empty() && wide.back() == L'\0') wide.pop_back();
    r.value = Utf8Text(wide);
    return r;
  }

  ReadResult<uint32_t> ReadDword(const std::string& name) override {
    ReadResult<uint32_t> r;
    DWORD type = 0;
    std::vector<uint8_t> data;
    r.status = Query(name, type, data);
    if (r.status != ReadStatus::kOk) return r;
    if (type != REG_DWORD || data.size() != sizeof(uint32_t)) {
      r.status = ReadStatus::kWrongType;
      return r;
    }
    std::memcpy(&r.value, data.data(), sizeof(uint32_t));
    return r;
  }

  ReadResult<std::vector<uint8_t>> ReadBinary(const std::string& name) override {
    ReadResult<std::vector<uint8_t>> r;
    DWORD type = 0;
    r.status = Query(name, type, r.value);
    if (r.status == ReadStatus::kOk && type != REG_BINARY) {
      r.status = ReadStatus::kWrongType;
      r.value.clear();
    }
    return r;
  }

  void WriteString(const std::string& name, const std::string& value) override {
    const std::wstring wide = WideText(value);
    Set(name, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
        (wide.size() + 1) * sizeof(wchar_t));
  }
  void WriteDword(const std::string& name, uint32_t value) override {
    Set(name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  void WriteBinary(const std::string& name, const std::vector<uint8_t>& value) override {
    Set(name, REG_BINARY, value.data(), value.size());
  }

 private:
  ReadStatus Query(const std::string& name, DWORD& type, std::vector<uint8_t>& data) {
    const std::wstring wide = WideText(name);
    // The value may grow between asking its size and reading it: ask again then.
    for (int attempt = 0; attempt < 8; ++attempt) {
      DWORD size = 0;
      LSTATUS s = RegQueryValueExW(key_, wide.c_str(), nullptr, &type, nullptr, &size);
      if (s == ERROR_FILE_NOT_FOUND) return ReadStatus::kMissing;
      if (s != ERROR_SUCCESS) return ReadStatus::kWrongType;
      data.resize(size);
      s = RegQueryValueExW(key_, wide.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(),
                           &size);
      if (s == ERROR_MORE_DATA) continue;
      if (s == ERROR_FILE_NOT_FOUND) return ReadStatus::kMissing;
      if (s != ERROR_SUCCESS) return ReadStatus::kWrongType;
      data.resize(size);
      return ReadStatus::kOk;
    }
    return ReadStatus::kWrongType;
  }

  void Set(const std::string& name, DWORD type, const BYTE* data, std::size_t size) {
    const std::wstring wide = WideText(name);
    const LSTATUS s = RegSetValueExW(key_, wide.c_str(), 0, type, data, static_cast<DWORD>(size));
    if (s != ERROR_SUCCESS)
      throw RegistryError("Cannot store " + name + " in HKEY_CURRENT_USER\\" + path_ + ": " +
                          SystemMessage(static_cast<unsigned long>(s)));
  }

  HKEY key_;
  std::string path_;
};

}  // namespace

std::unique_ptr<RegistryKey> WindowsRegistry::OpenKey(const std::string& path) {
  HKEY key = nullptr;
  const LSTATUS s =
      RegCreateKeyExW(HKEY_CURRENT_USER, WideText(path).c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (s != ERROR_SUCCESS)
    throw RegistryError("Cannot open HKEY_CURRENT_USER\\" + path + ": " +
                        SystemMessage(static_cast<unsigned long>(s)));
  return std::make_unique<WindowsKey>(key, path);
}

}  // namespace ravenox::platform
