// The settings file's parser: any text is read or refused with an error, never with a crash, and
// what is read prints and reads back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/RegistryFile.h"

using namespace ravenox::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<RegKeyData> keys;
  try {
    keys = ParseRegFile(text);
  } catch (const RegistryError&) {
    return 0;
  }
  const std::string printed = PrintRegFile(keys);
  std::vector<RegKeyData> again;
  try {
    again = ParseRegFile(printed);
  } catch (const RegistryError&) {
    std::abort();  // we wrote something we cannot read
  }
  if (PrintRegFile(again) != printed || again.size() != keys.size()) std::abort();
  return 0;
}
