#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "platform/AtomicFile.h"

namespace ravenox::platform {
namespace {

using testing::ReadAll;

TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporaries) {
  testing::TempDir dir;
  const auto file = dir.path() / "state.bin";
  WriteFileAtomically(file, std::string("first\0x", 7));
  EXPECT_EQ(ReadAll(file), std::string("first\0x", 7));
  chmod(file.c_str(), 0600);
  WriteFileAtomically(file, "second");
  EXPECT_EQ(ReadAll(file), "second");
  struct stat st {};
  stat(file.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // a replaced file keeps its mode
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(AtomicFile, FailureNamesTheFileAndKeepsTheOldOne) {
  testing::TempDir dir;
  const auto missing = dir.path() / "no-such-folder" / "x.bin";
  try {
    WriteFileAtomically(missing, "data");
    FAIL() << "expected an error";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("x.bin"), std::string::npos);
  }
  // A directory in the way of the rename: the write fails and the directory is untouched.
  const auto blocked = dir.path() / "blocked";
  std::filesystem::create_directory(blocked);
  std::ofstream(blocked / "inside") << "keep";
  EXPECT_THROW(WriteFileAtomically(blocked, "data"), std::system_error);
  EXPECT_EQ(ReadAll(blocked / "inside"), "keep");
}

}  // namespace
}  // namespace ravenox::platform
