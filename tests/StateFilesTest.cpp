#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "EngineFakes.h"
#include "engine/StateFileFormat.h"

namespace ravenox::engine {
namespace {

using testing::EngineRig;
using testing::ReadAll;

void WriteAll(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

// Expected bytes, built without the engine's encoder.
struct Bytes {
  std::string b;
  Bytes& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  Bytes& F64(double d) {
    unsigned char raw[8];
    std::memcpy(raw, &d, 8);  // this machine is little-endian, like the file
    b.append(reinterpret_cast<const char*>(raw), 8);
    return *this;
  }
  Bytes& U8(uint8_t v) {
    b.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& Text(const std::string& s) {
    b.push_back(static_cast<char>(s.size()));
    b += s;
    b.append(255 - s.size(), '\0');
    return *this;
  }
};

std::unique_ptr<TEventItem> Event(const std::string& text, double start = 46364.5,
                                  double notify = 46364.48958333333, bool notified = false) {
  auto r = std::make_unique<TEventItem>();
  r->Text = text;
  r->StartTime = start;
  r->NotifyTime = notify;
  r->Notified = notified;
  r->LastSeen = 46364.4;
  return r;
}

TEST(StateFiles, NotifyFileIsByteExact) {
  TNotifyList list;
  list.Add(Event("Staff meeting", 46364.5, 46364.48958333333, true));
  list.Add(Event("Budget", 46365.375, 46365.36458333333, false));
  const std::string expected = Bytes()
                                   .U32(20)
                                   .Text("Budget")
                                   .F64(46365.375)
                                   .F64(46365.36458333333)
                                   .U8(0)
                                   .Text("Staff meeting")
                                   .F64(46364.5)
                                   .F64(46364.48958333333)
                                   .U8(1)
                                   .b;
  EXPECT_EQ(EncodeStateFile(list), expected);
  EXPECT_EQ(expected.size(), 4u + 2 * 273);
}

TEST(StateFiles, TaskAndEmailFilesAreByteExact) {
  TTaskList tasks;
  auto t = std::make_unique<TTaskEvent>();
  t->Text = "Report:12/09/26";
  t->StartDate = 46360.0;
  t->DueDay = 46365.0;
  t->NextReminder = 46364.375;
  t->PreNotifyDay = 46364.0;
  t->EventDate = 46365.0;
  t->Notified = true;
  t->PreNotified = false;
  t->LastNotified = 46364.25;
  t->Complete = true;
  tasks.Add(std::move(t));
  const std::string task_bytes = Bytes()
                                     .U32(20)
                                     .Text("Report:12/09/26")
                                     .F64(46360.0)
                                     .F64(46365.0)
                                     .F64(46364.375)
                                     .F64(46364.0)
                                     .F64(46365.0)
                                     .U8(1)
                                     .U8(0)
                                     .F64(46364.25)
                                     .U8(1)
                                     .b;
  EXPECT_EQ(EncodeStateFile(tasks), task_bytes);
  EXPECT_EQ(task_bytes.size(), 4u + 307);

  TEmailList mails;
  auto m = std::make_unique<TEmailItem>();
  m->Text = "Server down From:Ops";
  m->FirstSeen = 46364.125;
  mails.Add(std::move(m));
  EXPECT_EQ(EncodeStateFile(mails), Bytes().U32(20).Text("Server down From:Ops").F64(46364.125).b);
}

TEST(StateFiles, LoadRules) {
  const std::string two = Bytes()
                              .U32(20)
                              .Text("Zeta")
                              .F64(1)
                              .F64(2)
                              .U8(7)  // any non-zero byte reads as true
                              .Text("alpha")
                              .F64(3)
                              .F64(4)
                              .U8(0)
                              .b;
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> keys;
    bool cut;
  };
  const Case cases[] = {
      {"marker only", Bytes().U32(20).b, {}, false},
      {"empty file", "", {}, false},
      {"wrong marker", Bytes().U32(21).Text("x").F64(0).F64(0).U8(0).b, {}, false},
      {"key order whatever the file order", two, {"alpha", "Zeta"}, false},
      {"same key in another case loads once",
       Bytes().U32(20).Text("Meeting").F64(1).F64(1).U8(1).Text("MEETING").F64(2).F64(2).U8(0).b,
       {"Meeting"},
       false},
      {"cut inside the second record", two.substr(0, 4 + 273 + 100), {"Zeta"}, true},
      {"cut inside the first record", two.substr(0, 4 + 10), {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TNotifyList list;
    const DecodeResult r = DecodeStateFile(c.bytes, list);
    std::vector<std::string> keys;
    for (int i = 0; i < list.Count(); ++i) keys.push_back(list[i].Text);
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(r.cut, c.cut);
  }
  TNotifyList list;
  DecodeStateFile(two, list);
  EXPECT_TRUE(list[1].Notified);
  EXPECT_DOUBLE_EQ(list[1].NotifyTime.Value(), 2.0);
  EXPECT_EQ(list[1].LastSeen, TDateTime(0.0));  // not stored
}

TEST(StateFiles, LongTextsSurviveOrAreCut) {
  const std::string t255(255, 'x');
  const std::string t300 = std::string(300, 'y');
  TEmailList list;
  for (const auto& text : {t255, t300}) {
    auto m = std::make_unique<TEmailItem>();
    m->Text = text;
    list.Add(std::move(m));
  }
  TEmailList back;
  DecodeStateFile(EncodeStateFile(list), back);
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back[0].Text, t255);
  EXPECT_EQ(back[1].Text, t300.substr(0, 255));
  EXPECT_EQ(EncodeStateFile(list).size(), 4u + 2 * 264);
}

TEST(StateFiles, EngineLoadsAtStartAndSavesAtShutdown) {
  EngineRig rig;
  WriteAll(rig.dir.path() / "NOTIFY.CLD",
           Bytes().U32(20).Text("Kept").F64(46364.5).F64(46364.49).U8(1).b);
  WriteAll(rig.dir.path() / "EMAIL.CLD", Bytes().U32(99).b);  // wrong marker: ignored, replaced
  WriteAll(rig.dir.path() / "TASK.CLD", Bytes().U32(20).b + std::string(10, 'z'));  // cut
  auto p = rig.Make();
  rig.event->on_wait = [&](int) {
    ASSERT_EQ(p->NotifyList.Count(), 1);
    EXPECT_EQ(p->NotifyList[0].Text, "Kept");
    auto m = std::make_unique<TEmailItem>();
    m->Text = "Urgent From:Boss";
    p->EmailList.Add(std::move(m));
    p->Stop();
  };
  p->Execute();
  const auto statuses = rig.host.Statuses();
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "TASK.CLD: record cut short at byte 4"),
            statuses.end());
  EXPECT_EQ(ReadAll(rig.dir.path() / "NOTIFY.CLD").size(), 4u + 273);
  EXPECT_EQ(ReadAll(rig.dir.path() / "EMAIL.CLD").size(), 4u + 264);
  EXPECT_EQ(ReadAll(rig.dir.path() / "TASK.CLD"), Bytes().U32(20).b);
}

// A process killed at any moment while saving leaves one of the versions it saved, whole.
TEST(StateFiles, KilledWhileSavingLeavesAWholeFile) {
  EngineRig rig;
  auto p = rig.Make();
  for (int i = 0; i < 40; ++i) p->NotifyList.Add(Event("old " + std::to_string(i)));
  p->SaveNotify();
  const std::string old_bytes = ReadAll(rig.dir.path() / "NOTIFY.CLD");
  TNotifyList next;
  for (int i = 0; i < 60; ++i) next.Add(Event("new " + std::to_string(i)));
  const std::string new_bytes = EncodeStateFile(next);
  next.Add(Event("toggled"));
  const std::string toggled_bytes = EncodeStateFile(next);

  std::mt19937 random(7);
  for (int round = 0; round < 15; ++round) {
    const pid_t child = fork();
    if (child == 0) {
      p->NotifyList.Clear();
      for (int i = 0; i < 60; ++i) p->NotifyList.Add(Event("new " + std::to_string(i)));
      // Each save differs from the one before, so every one of them goes to the disk.
      for (bool extra = false;; extra = !extra) {
        if (extra) {
          p->NotifyList.Add(Event("toggled"));
        } else {
          int index = 0;
          if (p->NotifyList.Find("toggled", index)) p->NotifyList.Delete(index);
        }
        p->SaveNotify();
      }
    }
    usleep(1000 + random() % 20000);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string now = ReadAll(rig.dir.path() / "NOTIFY.CLD");
    EXPECT_TRUE(now == old_bytes || now == new_bytes || now == toggled_bytes)
        << "round " << round << ": " << now.size();
    WriteAll(rig.dir.path() / "NOTIFY.CLD", old_bytes);
  }
}

TEST(StateFiles, UnchangedStateIsNotRewritten) {
  EngineRig rig;
  auto p = rig.Make();
  p->NotifyList.Add(Event("a"));
  p->SaveNotify();
  const auto file = rig.dir.path() / "NOTIFY.CLD";
  const auto first = std::filesystem::last_write_time(file);
  std::filesystem::last_write_time(file, first - std::chrono::hours(1));
  p->SaveNotify();
  EXPECT_EQ(std::filesystem::last_write_time(file), first - std::chrono::hours(1));
  p->NotifyList[0].Notified = true;
  p->SaveNotify();
  EXPECT_NE(std::filesystem::last_write_time(file), first - std::chrono::hours(1));
  // Another record in its place, with the same fields beside its text.
  auto b = Event("b");
  b->Notified = true;
  p->NotifyList.Delete(0);
  p->NotifyList.Add(std::move(b));
  p->SaveNotify();
  EXPECT_EQ(ReadAll(file), EncodeStateFile(p->NotifyList));
  // A file removed behind the engine's back is written again.
  std::filesystem::remove(file);
  p->SaveNotify();
  EXPECT_EQ(ReadAll(file), EncodeStateFile(p->NotifyList));
}

TEST(StateFiles, FailedSaveKeepsThePreviousFileAndTellsTheStatusLine) {
  EngineRig rig;
  auto p = rig.Make();
  p->NotifyList.Add(Event("before"));
  p->SaveNotify();
  const std::string before = ReadAll(rig.dir.path() / "NOTIFY.CLD");
  for (int i = 0; i < 20; ++i) p->NotifyList.Add(Event("more " + std::to_string(i)));
  const pid_t child = fork();
  if (child == 0) {
    // A disk that fills up half-way through the file.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    p->SaveNotify();
    const auto statuses = rig.host.Statuses();
    _exit(statuses.empty() ? 3 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);  // the failure reached the status line
  EXPECT_EQ(ReadAll(rig.dir.path() / "NOTIFY.CLD"), before);
}

// A state file that is there but cannot be read is reported and never saved over, and reading it
// neither hangs (a FIFO) nor runs on for ever (a device); what a killed save left is cleared at
// start.
TEST(StateFiles, UnreadableFilesAreReportedAndKeptAndStaleTemporariesGo) {
  EngineRig rig;
  const auto& d = rig.dir.path();
  ASSERT_EQ(mkfifo((d / "NOTIFY.CLD").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", d / "TASK.CLD");
  std::filesystem::create_directory(d / "EMAIL.CLD");
  WriteAll(d / ".NOTIFY.CLD.Ab12Cd", "half a save");
  WriteAll(d / ".TASK.CLD.zz99ZZ", "half a save");
  WriteAll(d / ".TASK.CLD.notours", "someone else's");
  auto p = rig.Make();
  p->NotifyList.Add(Event("new"));
  rig.event->on_wait = [&](int) { p->Stop(); };
  p->Execute();  // loads, a pass with its saves, the saves of the shutdown
  EXPECT_EQ(std::filesystem::symlink_status(d / "NOTIFY.CLD").type(),
            std::filesystem::file_type::fifo);
  EXPECT_EQ(std::filesystem::symlink_status(d / "TASK.CLD").type(),
            std::filesystem::file_type::symlink);
  EXPECT_TRUE(std::filesystem::is_directory(d / "EMAIL.CLD"));
  const auto statuses = rig.host.Statuses();
  for (const char* name : {"NOTIFY.CLD", "TASK.CLD", "EMAIL.CLD"}) {
    EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [&](const std::string& s) {
      return s.find(name) != std::string::npos;
    })) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(d / ".NOTIFY.CLD.Ab12Cd"));
  EXPECT_FALSE(std::filesystem::exists(d / ".TASK.CLD.zz99ZZ"));
  EXPECT_TRUE(std::filesystem::exists(d / ".TASK.CLD.notours"));
}

// The engine keeps its files in one folder whatever folder it is started from, private to the
// user; what earlier versions left where they were started is taken over once, merged, so an
// upgrade sends nothing twice.
TEST(StateFiles, EarlierPlacesAreTakenOverOnceIntoAPrivateFolder) {
  testing::TempDir earlier1, earlier2;
  EngineRig rig;
  const auto folder = rig.dir.path() / "data" / "Ravenox";
  rig.env.working_dir = folder;
  rig.env.earlier_dirs = {earlier1.path(), earlier2.path(), folder};
  const auto notify = [](std::initializer_list<std::pair<const char*, bool>> records) {
    Bytes b;
    b.U32(20);
    for (const auto& [text, notified] : records)
      b.Text(text).F64(46364.5).F64(46364.49).U8(notified);
    return b.b;
  };
  WriteAll(earlier1.path() / "NOTIFY.CLD", notify({{"Shared", true}, {"Only1", false}}));
  WriteAll(earlier2.path() / "NOTIFY.CLD", notify({{"Shared", false}, {"Only2", true}}));
  WriteAll(earlier1.path() / "EMAIL.CLD", Bytes().U32(20).Text("Mail From:Boss").F64(46364.4).b);
  WriteAll(earlier1.path() / "Test-Note.NST", "Shared\r\n");
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run == 0 ? "the first start takes over" : "a restart finds them here");
    auto p = rig.Make();
    rig.event->on_wait = [&](int) { p->Stop(); };
    p->Execute();
    ASSERT_EQ(p->NotifyList.Count(), 3);
    EXPECT_TRUE(p->NotifyList.Lookup("Shared")->Notified);
    EXPECT_FALSE(p->NotifyList.Lookup("Only1")->Notified);
    EXPECT_TRUE(p->NotifyList.Lookup("Only2")->Notified);
    EXPECT_EQ(p->EmailList.Count(), 1);
  }
  for (const auto& gone : {earlier1.path() / "NOTIFY.CLD", earlier2.path() / "NOTIFY.CLD",
                           earlier1.path() / "EMAIL.CLD", earlier1.path() / "Test-Note.NST"})
    EXPECT_FALSE(std::filesystem::exists(gone)) << gone;
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const char* name : {"NOTIFY.CLD", "EMAIL.CLD", "TASK.CLD", "FIRST.CLD", "DEBUG.LOG"}) {
    ASSERT_EQ(::stat((folder / name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
}

// The morning's and the evening's notice go out once a day, whatever restarts come in between.
TEST(StateFiles, FirstMeetingNoticesSurviveARestart) {
  EngineRig rig;
  rig.host.morning = true;
  rig.input->SetCursor(0, 0);  // where the engine's first look starts from: away
  rig.clock->Set(EncodeDate(2026, 12, 8) + EncodeTime(7, 5, 0, 0).Value());
  for (const int hour : {9, 10}) {
    auto a = rig.outlook->AddAppointment();
    a->subject = "Meeting at " + std::to_string(hour);
    a->start = EncodeDate(2026, 12, 8) + EncodeTime(hour, 0, 0, 0).Value();
  }
  for (int run = 0; run < 3; ++run) {
    auto p = rig.Make();
    rig.event->on_wait = [&](int) { p->Stop(); };
    p->Execute();
    rig.clock->Advance(kOneMinute);
  }
  const auto sent = rig.outlook->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].subject.rfind("First:09:00:00", 0), 0u) << sent[0].subject;
  FirstChecks checks{};
  EXPECT_TRUE(DecodeStateFile(ReadAll(rig.dir.path() / "FIRST.CLD"), checks).marker_ok);
  EXPECT_EQ(checks.morning, EncodeDate(2026, 12, 9));
}

}  // namespace
}  // namespace ravenox::engine
