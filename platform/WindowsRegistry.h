// The current user's part of the Windows registry (HKEY_CURRENT_USER), through the Win32 API.
#pragma once

#include "platform/Registry.h"

namespace ravenox::platform {

class WindowsRegistry final : public RegistryStore {
 public:
  // Opens or creates `path` below HKEY_CURRENT_USER. Every write is stored by the system as it
  // is made; a batch needs nothing more.
  std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;
};

}  // namespace ravenox::platform
