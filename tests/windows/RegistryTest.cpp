// The registry backend against the system's registry (Wine's, in the project's own prefix).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/WindowsRegistry.h"
#include "platform/WindowsText.h"

namespace ravenox::platform {
namespace {

class WindowsRegistryTest : public ::testing::Test {
 protected:
  const std::string path_ =
      "Software\\Brindlemoor\\RavenoxTest" + std::to_string(GetCurrentProcessId());
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, WideText(path_).c_str()); }
  // A value as another program may have written it.
  void Raw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, WideText(path_).c_str(), 0, KEY_WRITE, &key),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
  }
};

TEST_F(WindowsRegistryTest, TypedValuesOutliveTheKeyThatWroteThem) {
  WindowsRegistry registry;
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x98\x8E 5551234@sms.example";
  const std::vector<uint8_t> bytes = {0, 1, 255, 0};
  {
    auto key = registry.OpenKey(path_);
    key->WriteString("Phone", text);
    key->WriteString("Empty", "");
    key->WriteDword("Top", 0xFFFFFFFFu);
    key->WriteBinary("Stamp", bytes);
    key->WriteBinary("None", {});
  }
  auto key = registry.OpenKey(path_);
  EXPECT_EQ(key->ReadString("Phone").value, text);
  EXPECT_TRUE(key->ReadString("Empty").ok());
  EXPECT_EQ(key->ReadString("Empty").value, "");
  EXPECT_EQ(key->ReadDword("Top").value, 0xFFFFFFFFu);
  EXPECT_EQ(key->ReadBinary("Stamp").value, bytes);
  EXPECT_TRUE(key->ReadBinary("None").ok());
  EXPECT_TRUE(key->ReadBinary("None").value.empty());
}

TEST_F(WindowsRegistryTest, TellsMissingFromWrongTypeAndReadsOthersWrites) {
  WindowsRegistry registry;
  auto key = registry.OpenKey(path_);
  key->WriteString("Text", "5");
  key->WriteDword("Number", 5);
  const wchar_t expand[] = L"%USERPROFILE%\\x";
  Raw(L"Expand", REG_EXPAND_SZ, expand, sizeof expand);
  const wchar_t unterminated[] = {L'a', L'b'};
  Raw(L"Unterminated", REG_SZ, unterminated, sizeof unterminated);
  const uint8_t two[] = {1, 2};
  Raw(L"Short", REG_BINARY, two, sizeof two);

  EXPECT_EQ(key->ReadString("Absent").status, ReadStatus::kMissing);
  EXPECT_EQ(key->ReadDword("Absent").status, ReadStatus::kMissing);
  EXPECT_EQ(key->ReadBinary("Absent").status, ReadStatus::kMissing);
  EXPECT_EQ(key->ReadDword("Text").status, ReadStatus::kWrongType);
  EXPECT_EQ(key->ReadBinary("Text").status, ReadStatus::kWrongType);
  EXPECT_EQ(key->ReadString("Number").status, ReadStatus::kWrongType);
  EXPECT_EQ(key->ReadDword("Short").status, ReadStatus::kWrongType);
  // Taken literally, not expanded.
  EXPECT_EQ(key->ReadString("Expand").value, "%USERPROFILE%\\x");
  EXPECT_EQ(key->ReadString("Unterminated").value, "ab");
}

}  // namespace
}  // namespace ravenox::platform
