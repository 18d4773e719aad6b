#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "base/Formats.h"

namespace ravenox::engine {
namespace {

using testing::EngineRig;
using testing::ReadAll;

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

std::size_t LineCount(const std::string& text) {
  std::size_t n = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
    ++n;
  return n;
}

TEST(DebugLog, WritesTheFileFromThe251stLineAtEachPassEnd) {
  EngineRig rig;
  auto p = rig.Make();
  const auto log = rig.dir.path() / "DEBUG.LOG";
  for (int i = 1; i <= 250; ++i) p->DebugLog("line " + std::to_string(i));
  p->FlushDebugLog();
  EXPECT_FALSE(std::filesystem::exists(log));
  p->DebugLog("line 251");
  EXPECT_FALSE(std::filesystem::exists(log));  // the lines of a pass go out together
  p->FlushDebugLog();
  EXPECT_EQ(ReadAll(log), Joined(p->DebugLines()));
  // From then on the file follows every pass, and the wait before the next one flushes it.
  for (int i = 252; i <= 400; ++i) {
    p->DebugLog("line " + std::to_string(i));
    if (i % 37 == 0) {
      p->FlushDebugLog();
      EXPECT_EQ(ReadAll(log), Joined(p->DebugLines()));
    }
  }
  EXPECT_EQ(p->DebugLines().back(), FormatDateTime(rig.clock->Now()) + ": line 400");
  p->WaitForNextPass();  // all but its last line, "Wake:", which goes with the next pass
  std::vector<std::string> before_wake = p->DebugLines();
  before_wake.pop_back();
  EXPECT_EQ(ReadAll(log), Joined(before_wake));
}

TEST(DebugLog, RotatesAtThe2501stLine) {
  EngineRig rig;
  auto p = rig.Make();
  const auto log = rig.dir.path() / "DEBUG.LOG";
  const auto backup = rig.dir.path() / "backup_DEBUG.LOG";
  std::ofstream(backup) << "older backup";
  for (int i = 1; i <= 2500; ++i) p->DebugLog("n" + std::to_string(i));
  EXPECT_EQ(p->DebugLines().size(), 2500u);
  EXPECT_EQ(ReadAll(backup), "older backup");
  p->DebugLog("n2501");
  EXPECT_EQ(p->DebugLines().size(), 500u);
  EXPECT_EQ(LineCount(ReadAll(backup)), 2501u);
  EXPECT_FALSE(std::filesystem::exists(log));
  EXPECT_NE(p->DebugLines().front().find(": n2002"), std::string::npos);
  p->DebugLog("n2502");
  p->FlushDebugLog();
  EXPECT_EQ(ReadAll(log), Joined(p->DebugLines()));
  EXPECT_EQ(LineCount(ReadAll(log)), 501u);
}

TEST(DebugLog, RotationStopsTrimmingWhenStopping) {
  EngineRig rig;
  auto p = rig.Make();
  for (int i = 1; i <= 2500; ++i) p->DebugLog("n");
  p->Stop();
  p->DebugLog("n");
  EXPECT_EQ(p->DebugLines().size(), 2501u);
  EXPECT_TRUE(std::filesystem::exists(rig.dir.path() / "backup_DEBUG.LOG"));
}

TEST(DebugLog, FileChangedBehindTheEngineIsRewrittenWhole) {
  EngineRig rig;
  auto p = rig.Make();
  const auto log = rig.dir.path() / "DEBUG.LOG";
  for (int i = 0; i < 260; ++i) p->DebugLog("x");
  p->FlushDebugLog();
  std::ofstream(log, std::ios::trunc) << "someone else";
  p->DebugLog("y");
  p->FlushDebugLog();
  EXPECT_EQ(ReadAll(log), Joined(p->DebugLines()));
  std::filesystem::remove(log);
  p->DebugLog("z");
  p->FlushDebugLog();
  EXPECT_EQ(ReadAll(log), Joined(p->DebugLines()));
}

TEST(DebugLog, UnwritableFileAddsDebugErrorLinesAndTheEngineGoesOn) {
  EngineRig rig;
  auto p = rig.Make();
  // A folder where the file should be: no one can write it, not even root.
  std::filesystem::create_directories(rig.dir.path() / "DEBUG.LOG" / "in-the-way");
  for (int i = 0; i < 250; ++i) p->DebugLog("x");
  p->DebugLog("251");
  p->FlushDebugLog();
  ASSERT_EQ(p->DebugLines().size(), 252u);
  EXPECT_EQ(p->DebugLines().back().rfind("Debug Error:", 0), 0u) << p->DebugLines().back();
  p->DebugLog("next");
  p->FlushDebugLog();
  EXPECT_EQ(p->DebugLines().size(), 254u);
  EXPECT_EQ(p->DebugLines().back().rfind("Debug Error:", 0), 0u);
}

// The user's read-only log is reported, never replaced, renamed or deleted.
std::string ReadOnlyLogIsLeftAlone() {
  EngineRig rig;
  auto p = rig.Make();
  const auto log = rig.dir.path() / "DEBUG.LOG";
  std::ofstream(log) << "kept by the user";
  chmod(log.c_str(), 0444);
  std::ostringstream fault;
  for (int i = 1; i <= 3000; ++i) {
    const std::size_t before = p->DebugLines().size();
    p->DebugLog("line");
    p->FlushDebugLog();  // as a pass of one line would
    const auto& lines = p->DebugLines();
    // From the 251st line on each pass ends with the report (until a rotation trims).
    if (before >= 250 && lines.size() == before + 2 && lines.back().rfind("Debug Error:", 0) != 0)
      fault << "no Debug Error line after line " << i << "; ";
    if (i == 251 && lines.size() != 252) fault << "251st line gave " << lines.size() << " lines; ";
  }
  if (ReadAll(log) != "kept by the user") fault << "the log was replaced; ";
  if (std::filesystem::exists(rig.dir.path() / "backup_DEBUG.LOG")) fault << "the log was moved; ";
  try {
    p->SaveDebugFile();
    fault << "a whole-file save reported success; ";
  } catch (const std::exception&) {
  }
  return fault.str();
}

TEST(DebugLog, ReadOnlyFileIsReportedAndLeftAsItIs) {
  EXPECT_EQ(ReadOnlyLogIsLeftAlone(), "");                         // as whoever runs the tests
  EXPECT_EQ(testing::AsOrdinaryUser(ReadOnlyLogIsLeftAlone), "");  // and as an ordinary account
}

TEST(DebugLog, OffRecordsNothing) {
  EngineRig rig;
  auto p = rig.Make();
  p->DebugEnabled = false;
  for (int i = 0; i < 300; ++i) p->DebugLog("x");
  EXPECT_TRUE(p->DebugLines().empty());
  EXPECT_FALSE(std::filesystem::exists(rig.dir.path() / "DEBUG.LOG"));
}

TEST(DebugLog, FailedPassWritesTheFileWhetherOrNotTheLogIsOn) {
  EngineRig rig;
  rig.host.meeting = true;
  rig.outlook->faults->FailOn("NameSpace.GetDefaultFolder", 1);
  auto p = rig.Make();
  p->DebugEnabled = false;
  rig.event->on_wait = [&](int) { p->Stop(); };
  p->Execute();
  EXPECT_EQ(ReadAll(rig.dir.path() / "DEBUG.LOG"), "Execute Start\r\nLoading From Disk\r\n");
}

}  // namespace
}  // namespace ravenox::engine
