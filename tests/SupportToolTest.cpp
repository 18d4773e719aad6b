#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "EngineFakes.h"
#include "engine/StateFileFormat.h"
#include "shell/SupportTool.h"

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

  EXPECT_EQ(Inspect({}).status, 2);
  EXPECT_EQ(Inspect({"state", "--kind", "bogus", "x"}).status, 2);
}

}  // namespace
}  // namespace ravenox::shell
