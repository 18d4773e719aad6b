// The program's folder and clock on Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/Clock.h"
#include "platform/Paths.h"

namespace ravenox::platform {
namespace {

TEST(WindowsPaths, DataFolderIsUnderLocalAppDataWhateverItsName) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() /
      (L"Ravenox \u00e9t\u00e9 " + std::to_wstring(GetCurrentProcessId()));
  ASSERT_EQ(_wputenv_s(L"LOCALAPPDATA", root.c_str()), 0);
  const std::filesystem::path folder = ProgramDataFolder();
  EXPECT_EQ(folder, root / "Brindlemoor" / "Ravenox");
  MakePrivateFolder(folder);
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  MakePrivateFolder(folder);  // again: nothing to do
  std::ofstream(root / "file") << "x";
  EXPECT_ANY_THROW(MakePrivateFolder(root / "file"));
  std::filesystem::remove_all(root);
}

TEST(WindowsPaths, ClockIsTheLocalWallClock) {
  SystemClock clock;
  const double now = clock.Now().Value();
  const double expected = FromUnixLocal(std::time(nullptr)).Value();
  EXPECT_LT(std::fabs(now - expected) * 86400.0, 2.0);
}

}  // namespace
}  // namespace ravenox::platform
