#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "engine/StateFileFormat.h"
#include "tools/support/SupportTool.h"

namespace ravenox::shell {
namespace {

using testing::EngineRig;
using namespace std::string_literals;

struct InspectRun {
  int status;
  std::string out, err;
};

InspectRun Inspect(std::vector<std::string> args) {
  std::ostringstream out, err;
  const int status = RunInspect(args, out, err);
  return {status, out.str(), err.str()};
}

TEST(Inspect, PrintsWhatTheEngineWrote) {
  EngineRig rig;
  auto p = rig.Make();
  auto e = std::make_unique<engine::TEventItem>();
  e->Text = "09:30:00@loc:Room\t4:Stand-up\nnotes";
  e->StartTime = EncodeDateTime(2026, 12, 9, 9, 30);
  e->NotifyTime = EncodeDateTime(2026, 12, 9, 9, 15);
  e->Notified = true;
  p->NotifyList.Add(std::move(e));
  auto t = std::make_unique<engine::TTaskEvent>();
  t->Text = "Report:12/10/26";
  t->DueDay = EncodeDate(2026, 12, 10);
  t->EventDate = kNoDate;
  t->PreNotified = true;
  p->TaskList.Add(std::move(t));
  p->SaveState();
  const auto dir = rig.dir.path();

  const InspectRun notify = Inspect({"state", (dir / "NOTIFY.CLD").string()});
  EXPECT_EQ(notify.status, 0);
  EXPECT_EQ(
      notify.out,
      "2026-12-09 09:30:00\t2026-12-09 09:15:00\t1\t09:30:00@loc:Room\\t4:Stand-up\\nnotes\n");
  EXPECT_EQ(notify.err, "");

  const InspectRun task = Inspect({"state", (dir / "TASK.CLD").string()});
  EXPECT_EQ(task.out,
            "0\t2026-12-10 00:00:00\t0\t0\t4501-01-01 00:00:00\t0\t1\t0\t0\tReport:12/10/26\n");

  std::filesystem::copy(dir / "EMAIL.CLD", dir / "copy.bin");
  const InspectRun email = Inspect({"state", "--kind", "email", (dir / "copy.bin").string()});
  EXPECT_EQ(email.status, 0);
  EXPECT_EQ(email.out, "");

  std::filesystem::copy(dir / "TASK.CLD", dir / "task.cld");  // names are case-insensitive
  EXPECT_EQ(Inspect({"state", (dir / "task.cld").string()}).out, task.out);

  // Without a file: the engine's own, in the program's data folder.
  const auto data = dir / "share" / "Brindlemoor" / "Ravenox";
  std::filesystem::create_directories(data);
  std::filesystem::copy(dir / "NOTIFY.CLD", data / "NOTIFY.CLD");
  std::filesystem::copy(dir / "FIRST.CLD", data / "FIRST.CLD");
  setenv("XDG_DATA_HOME", (dir / "share").c_str(), 1);
  const InspectRun own = Inspect({"state"});
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(own.status, 0) << own.err;
  EXPECT_EQ(own.out, (data / "NOTIFY.CLD").string() + "\t" + notify.out +
                         (data / "FIRST.CLD").string() + "\t0\t0\n");
}

TEST(Inspect, ReportsDamageWithTheByteOffset) {
  EngineRig rig;
  const auto dir = rig.dir.path();
  std::string bytes = "\x14\0\0\0"s;
  bytes += std::string(264, '\0');
  bytes[4] = 1;
  bytes[5] = 'A';
  std::ofstream(dir / "EMAIL.CLD", std::ios::binary) << bytes << std::string(30, 'x');
  std::ofstream(dir / "NOTIFY.CLD", std::ios::binary) << "\x15\0\0\0"s;

  const InspectRun cut = Inspect({"state", (dir / "EMAIL.CLD").string()});
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.out, "0\tA\n");  // the whole record before the cut
  EXPECT_NE(cut.err.find("byte 268: record cut short (30 of 264 bytes)"), std::string::npos)
      << cut.err;

  const InspectRun marker = Inspect({"state", (dir / "NOTIFY.CLD").string()});
  EXPECT_EQ(marker.status, 1);
  EXPECT_NE(marker.err.find("byte 0: marker 21, expected 20"), std::string::npos) << marker.err;

  const InspectRun missing = Inspect({"state", (dir / "TASK.CLD").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos);

  const InspectRun unknown = Inspect({"state", (dir / "other.bin").string()});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("--kind"), std::string::npos);

  // Not a regular file: said at once, never waited on nor read without end.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const std::string& odd : {(dir / "fifo").string(), "/dev/zero"s}) {
    const InspectRun r = Inspect({"state", "--kind", "notify", odd});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Not a regular file"), std::string::npos) << r.err;
  }

  EXPECT_EQ(Inspect({}).status, 2);
  EXPECT_EQ(Inspect({"state", "--kind", "bogus", "x"}).status, 2);
}

// The settings as the program reads them, read without touching the file: a finished wizard's,
// none yet, and a damaged file (left where it is).
TEST(Inspect, SettingsAsTheProgramReadsThem) {
  EngineRig rig;
  const auto file = rig.dir.path() / "Ravenox.reg";
  auto write = [&](const std::string& values) {
    std::ofstream(file) << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brindlemoor\\Ravenox]\n"
                        << values;
  };
  write(R"("Version"="01.01.00.001"
"MeetingNotify"=dword:00000001
"MorningNotify"=dword:00000000
"EveningNotify"=dword:00000000
"TaskNotify"=dword:00000000
"TaskPreNotify"=dword:00000000
"TaskReminder"=dword:00000001
"UrgentEmail"=dword:00000000
"Top"=dword:00000000
"Left"=dword:00000000
"TaskRemindPeriod"=dword:00000002
"Pin"="5551234567"
"EarlyTime"=hex:55,55,55,55,29,3b,e2,40
"LateTime"=hex:e3,d5,3f,f1,ff,ff,ef,3f
"Service"=dword:00000000
"CustomAddr"=""
"CustomEmail"="x@y"
)");
  const InspectRun done = Inspect({"settings", "--file", file.string()});
  EXPECT_EQ(done.status, 0) << done.err;
  for (const char* line :
       {"Service: 0 (AT&T Wireless)\n", "Pin: 5551234567\n", "CustomEmail: x@y\n",
        "EarlyTime: 37337.2916666667 (07:00)\n", "LateTime: 0.9999999725 (23:59)\n",
        "MeetingNotify: on\n", "UrgentEmail: off\n", "TaskRemindPeriod: 2 (Daily)\n",
        "texts go to: 5551234567@mobile.att.net\n"}) {
    EXPECT_NE(done.out.find(line), std::string::npos) << line << done.out;
  }

  const InspectRun none =
      Inspect({"settings", "--file", (rig.dir.path() / "no" / "x.reg").string()});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.out.find("not configured yet"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(rig.dir.path() / "no"));

  std::ofstream(file) << "not a settings file";
  const InspectRun damaged = Inspect({"settings", "--file", file.string()});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.err.find(file.string()), std::string::npos) << damaged.err;
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".corrupt"));
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".lock"));
}

}  // namespace
}  // namespace ravenox::shell
