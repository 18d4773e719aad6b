// Atomic files on Windows, under Wine: whole replacement, the old file kept on failure, bounded
// reads of regular files only.
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/AtomicFile.h"

namespace ravenox::platform {
namespace {

class WindowsAtomicFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("ravenox-atomic-" + std::to_string(GetCurrentProcessId()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::size_t Entries() const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_)) ++n;
    return n;
  }
  std::filesystem::path dir_;
};

TEST_F(WindowsAtomicFile, ReplacesWholeAndLeavesNoTemporaries) {
  const auto file = dir_ / "NOTIFY.CLD";
  WriteFileAtomically(file, std::string("first\0x\r\n", 9));
  EXPECT_EQ(Read(file), std::string("first\0x\r\n", 9));  // bytes, not text
  WriteFileAtomically(file, "second", 0600, /*durable=*/false);
  EXPECT_EQ(Read(file), "second");
  EXPECT_EQ(Entries(), 1u);
  // A temporary a killed program left is known by its name and removed; others stay.
  std::ofstream(dir_ / ".NOTIFY.CLD.a1B2c3") << "half";
  std::ofstream(dir_ / ".NOTIFY.CLD.notours") << "keep";
  RemoveStaleTemporaries(file);
  EXPECT_FALSE(std::filesystem::exists(dir_ / ".NOTIFY.CLD.a1B2c3"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / ".NOTIFY.CLD.notours"));
}

TEST_F(WindowsAtomicFile, FailureNamesTheFileAndKeepsTheOldOne) {
  try {
    WriteFileAtomically(dir_ / "no-such-folder" / "x.bin", "data");
    FAIL() << "expected an error";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("x.bin"), std::string::npos) << e.what();
  }
  const auto blocked = dir_ / "blocked";
  std::filesystem::create_directory(blocked);
  std::ofstream(blocked / "inside") << "keep";
  EXPECT_THROW(WriteFileAtomically(blocked, "data"), std::system_error);
  EXPECT_EQ(Read(blocked / "inside"), "keep");
  EXPECT_EQ(Entries(), 1u);  // no temporary left beside it
}

TEST_F(WindowsAtomicFile, ReadsOnlyRegularFilesUpToTheirLimit) {
  const auto file = dir_ / "TASK.CLD";
  WriteFileAtomically(file, "0123456789");
  std::string out;
  EXPECT_TRUE(ReadRegularFile(file, 10, out));
  EXPECT_EQ(out, "0123456789");
  EXPECT_THROW(ReadRegularFile(file, 9, out), std::system_error);
  EXPECT_EQ(ReadFileHead(file, 4), "0123");
  EXPECT_FALSE(ReadRegularFile(dir_ / "absent", 10, out));
  EXPECT_EQ(OpenRegularFile(dir_ / "absent"), -1);
  // A device or a folder is not read.
  EXPECT_THROW(OpenRegularFile("NUL"), std::system_error);
  EXPECT_EQ(ReadFileHead("NUL", 4), "");
  EXPECT_ANY_THROW(OpenRegularFile(dir_));
}

// The debug log's appends: only to the file as this program left it, never to one the user made
// read-only.
TEST_F(WindowsAtomicFile, AppendsOnlyToTheFileAsLeftAndNotToAReadOnlyOne) {
  const auto log = dir_ / "DEBUG.LOG";
  EXPECT_FALSE(IsReadOnlyFile(log));  // missing: it will be made
  WriteFileAtomically(log, "one\r\n", 0600, false);
  EXPECT_TRUE(AppendIfUnchanged(log, 5, "two\r\n"));
  EXPECT_FALSE(AppendIfUnchanged(log, 5, "three\r\n"));  // someone else's bytes since
  EXPECT_EQ(Read(log), "one\r\ntwo\r\n");
  EXPECT_FALSE(IsReadOnlyFile(log));
  ASSERT_TRUE(SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(IsReadOnlyFile(log));
  EXPECT_FALSE(AppendIfUnchanged(log, 10, "four\r\n"));
  EXPECT_EQ(Read(log), "one\r\ntwo\r\n");
  SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace ravenox::platform
