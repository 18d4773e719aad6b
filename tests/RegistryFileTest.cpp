#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "platform/RegistryFile.h"

namespace ravenox::platform {
namespace {

using ravenox::testing::ReadAll;
using ravenox::testing::TempDir;

void WriteAll(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

constexpr const char* kKey = "Software\\Brindlemoor\\Ravenox";

TEST(RegistryFile, WritesTypedValuesInExportFormat) {
  TempDir dir;
  RegistryFile store(dir.path() / "Brindlemoor" / "Ravenox.reg");
  {
    auto key = store.OpenKey(kKey);
    key->WriteString("Version", "01.01.00.001");
    key->WriteDword("MeetingNotify", 1);
    key->WriteDword("Top", static_cast<uint32_t>(-30));
    key->WriteBinary("EarlyTime", {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0xd2, 0x3f});
    key->WriteString("Pin", "Quote \" and back\\slash");
  }
  EXPECT_EQ(ReadAll(store.File()),
            "REGEDIT4\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox]\n"
            "\"Version\"=\"01.01.00.001\"\n"
            "\"MeetingNotify\"=dword:00000001\n"
            "\"Top\"=dword:ffffffe2\n"
            "\"EarlyTime\"=hex:55,55,55,55,55,55,d2,3f\n"
            "\"Pin\"=\"Quote \\\" and back\\\\slash\"\n");
  auto key = store.OpenKey(kKey);
  EXPECT_EQ(key->ReadString("Pin").value, "Quote \" and back\\slash");
  EXPECT_EQ(static_cast<int32_t>(key->ReadDword("Top").value), -30);
  EXPECT_EQ(key->ReadBinary("EarlyTime").value.size(), 8u);
}

TEST(RegistryFile, TellsMissingFromWrongType) {
  TempDir dir;
  WriteAll(dir.path() / "r.reg",
           "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox]\r\n"
           "\"S\"=\"text\"\r\n\"E\"=hex(2):25,54,45,4d,50,25,00\r\n\"D\"=dword:0000012c\r\n"
           "\"B\"=hex:01,02\r\n\"Odd\"=hex(7):41,00,00\r\n");
  RegistryFile store(dir.path() / "r.reg");
  auto key = store.OpenKey(kKey);
  struct Case {
    const char* name;
    ReadStatus as_string, as_dword, as_binary;
  };
  const Case cases[] = {
      {"S", ReadStatus::kOk, ReadStatus::kWrongType, ReadStatus::kWrongType},
      {"E", ReadStatus::kOk, ReadStatus::kWrongType, ReadStatus::kWrongType},
      {"D", ReadStatus::kWrongType, ReadStatus::kOk, ReadStatus::kWrongType},
      {"B", ReadStatus::kWrongType, ReadStatus::kWrongType, ReadStatus::kOk},
      {"Odd", ReadStatus::kWrongType, ReadStatus::kWrongType, ReadStatus::kWrongType},
      {"Nope", ReadStatus::kMissing, ReadStatus::kMissing, ReadStatus::kMissing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(key->ReadString(c.name).status, c.as_string);
    EXPECT_EQ(key->ReadDword(c.name).status, c.as_dword);
    EXPECT_EQ(key->ReadBinary(c.name).status, c.as_binary);
  }
  EXPECT_EQ(key->ReadString("E").value, "%TEMP%");  // taken literally
  EXPECT_EQ(key->ReadDword("D").value, 300u);
  EXPECT_EQ(key->ReadString("s").value, "text");  // names are case-insensitive
}

TEST(RegistryFile, RoundTripIsByteStableAndKeepsOtherKeys) {
  TempDir dir;
  const std::string original =
      "REGEDIT4\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\n"
      "@=\"default\"\n"
      "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
      "  16,17,18,19\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox]\n"
      "\"Version\"=\"01.01.00.001\"\n"
      "\"Multi\"=hex(1):6c,69,6e,65,0a,74,77,6f,00\n";
  const auto parsed = ParseRegFile(original);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].values[1].data.size(), 26u);
  EXPECT_EQ(PrintRegFile(parsed), original);

  WriteAll(dir.path() / "r.reg", original);
  RegistryFile store(dir.path() / "r.reg");
  {
    auto key = store.OpenKey(kKey);
    EXPECT_EQ(key->ReadString("Multi").value, "line\ntwo");
    key->WriteString("Version", "01.01.00.001");
  }
  EXPECT_EQ(ReadAll(dir.path() / "r.reg"), original);
}

// Keys whose names look like roots, and keys under other roots, read and write back unchanged.
TEST(RegistryFile, KeysNamedLikeRootsStayWhereTheyAre) {
  TempDir dir;
  const std::string original =
      "REGEDIT4\n"
      "\n"
      "[HKEY_CURRENT_USER\\HKEY_CURRENT_USER\\HKEY_]\n"
      "\"a\"=dword:00000001\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Brindlemoor\\Ravenox]\n"
      "\"b\"=dword:00000002\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox]\n"
      "\"Version\"=\"01.01.00.001\"\n";
  EXPECT_EQ(PrintRegFile(ParseRegFile(original)), original);
  WriteAll(dir.path() / "r.reg", original);
  RegistryFile store(dir.path() / "r.reg");
  for (int save = 0; save < 3; ++save) {
    auto key = store.OpenKey(kKey);
    EXPECT_EQ(key->ReadString("Version").value, "01.01.00.001");
    key->WriteString("Version", "01.01.00.001");
  }
  EXPECT_EQ(ReadAll(dir.path() / "r.reg"), original);
  // The machine's key of the same name is not the user's.
  EXPECT_EQ(
      store.OpenKey("HKEY_LOCAL_MACHINE\\Software\\Brindlemoor\\Ravenox")->ReadDword("b").status,
      ReadStatus::kMissing);
}

// A settings file that is there but cannot be read is an error, and nothing saves over it: not a
// FIFO (which must not hang the program either), a folder, a link to an endless device, or a file
// the user may not read.
TEST(RegistryFile, FileThatCannotBeReadIsAnErrorAndKept) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
  };
  const Case cases[] = {
      {"FIFO", [](const std::filesystem::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"folder", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); }},
      {"link to /dev/zero",
       [](const std::filesystem::path& p) { std::filesystem::create_symlink("/dev/zero", p); }},
  };
  auto check = [](const std::function<void(const std::filesystem::path&)>& make) {
    TempDir dir;
    const auto file = dir.path() / "Ravenox.reg";
    make(file);
    const auto type = std::filesystem::symlink_status(file).type();
    RegistryFile store(file, [](const std::string&) {});
    std::string fault;
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        store.OpenKey(kKey)->WriteString("Version", "01.01.00.001");
        fault += "opened and saved over; ";
      } catch (const RegistryError& e) {
        if (std::string(e.what()).find(file.string()) == std::string::npos)
          fault += std::string("the error does not name the file: ") + e.what() + "; ";
      }
    }
    if (std::filesystem::symlink_status(file).type() != type) fault += "the file was replaced; ";
    if (std::filesystem::exists(file.string() + ".corrupt")) fault += "moved aside; ";
    return fault;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(check(c.make), "");
  }
  // A file its owner may not read (root may read anything, so as an ordinary account).
  EXPECT_EQ(testing::AsOrdinaryUser([&] {
              return check([](const std::filesystem::path& p) {
                WriteAll(p, "REGEDIT4\n");
                chmod(p.c_str(), 0);
              });
            }),
            "");
}

// A batch of writes replaces the file once, when it is committed; a save killed before that leaves
// the previous file whole, and its temporaries are cleared when the file is next opened.
TEST(RegistryFile, BatchIsOneReplacementAndStaleTemporariesGo) {
  TempDir dir;
  const auto file = dir.path() / "Ravenox.reg";
  RegistryFile store(file);
  store.OpenKey(kKey)->WriteString("Pin", "old");
  const std::string before = ReadAll(file);
  WriteAll(dir.path() / ".Ravenox.reg.a1B2c3", "left by a killed save");
  WriteAll(dir.path() / ".Ravenox.reg.keep", "not one of ours");
  auto key = store.OpenKey(kKey);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / ".Ravenox.reg.a1B2c3"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / ".Ravenox.reg.keep"));
  key->BeginBatch();
  key->WriteString("Pin", "new");
  key->WriteString("CustomEmail", "x@y.z");
  EXPECT_EQ(ReadAll(file), before);
  EXPECT_EQ(key->ReadString("Pin").value, "new");
  key->CommitBatch();
  const std::string after = ReadAll(file);
  EXPECT_NE(after.find("\"Pin\"=\"new\""), std::string::npos);
  EXPECT_NE(after.find("\"CustomEmail\"=\"x@y.z\""), std::string::npos);
}

TEST(RegistryFile, DamagedFileIsMovedAsideAndReported) {
  const char* damaged[] = {
      "garbage\n",
      "REGEDIT4\n\"Orphan\"=\"value\"\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"A\"=dword:xyz\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"A\"=\"unterminated\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"A\"=hex:1,2\n",
  };
  for (const char* text : damaged) {
    SCOPED_TRACE(text);
    TempDir dir;
    const auto file = dir.path() / "r.reg";
    WriteAll(file, text);
    std::vector<std::string> reports;
    RegistryFile store(file, [&](const std::string& r) { reports.push_back(r); });
    {
      auto key = store.OpenKey(kKey);
      EXPECT_EQ(key->ReadString("Version").status, ReadStatus::kMissing);
      key->WriteDword("Top", 1);
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("r.reg.corrupt"), std::string::npos);
    EXPECT_EQ(ReadAll(dir.path() / "r.reg.corrupt"), text);
  }
}

TEST(RegistryFile, KeyHoldsALockAgainstASecondCopy) {
  TempDir dir;
  RegistryFile store(dir.path() / "r.reg");
  auto key = store.OpenKey(kKey);
  const std::string lock_file = (dir.path() / "r.reg.lock").string();
  auto child_can_lock = [&] {
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(lock_file.c_str(), O_RDWR);
      _exit(flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WEXITSTATUS(status) == 0;
  };
  EXPECT_FALSE(child_can_lock());
  key.reset();
  EXPECT_TRUE(child_can_lock());
}

TEST(RegistryFile, FailedWriteLeavesMemoryAsItWas) {
  TempDir dir;
  const auto file = dir.path() / "r.reg";
  RegistryFile store(file);
  auto key = store.OpenKey(kKey);
  key->WriteDword("A", 1);
  // Something in the way of the rename (a folder that is not empty): even root cannot replace it.
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  std::ofstream(file / "inside") << "x";
  EXPECT_THROW(key->WriteDword("B", 2), RegistryError);
  EXPECT_EQ(key->ReadDword("B").status, ReadStatus::kMissing);
  EXPECT_EQ(key->ReadDword("A").value, 1u);
  EXPECT_EQ(ReadAll(file / "inside"), "x");
}

}  // namespace
}  // namespace ravenox::platform
