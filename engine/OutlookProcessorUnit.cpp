#include "engine/OutlookProcessorUnit.h"

#include <cerrno>
#include <chrono>

#include "base/Formats.h"
#include "engine/StateFileFormat.h"
#include "platform/AtomicFile.h"
#include "platform/Memory.h"
#include "platform/Paths.h"
#include "platform/SessionInput.h"
#include "platform/Thread.h"

namespace ravenox::engine {
namespace {

constexpr int kMaxConsecutiveFailures = 10;
constexpr double kFourMinutes = 4.0 / 1440.0;

}  // namespace

int ChooseWaitMilliseconds(bool user_away, TDateTime now, TDateTime early, TDateTime late) {
  if (!user_away) return 60000;
  const TDateTime t = TimeOf(now);
  if (t > TimeOf(late)) return 300000;
  if (t + kFourMinutes < TimeOf(early)) return 300000;
  return 15000;
}

bool InsideDay(TDateTime now, TDateTime early, TDateTime late) {
  const TDateTime t = TimeOf(now);
  return t > TimeOf(early) && t < TimeOf(late);
}

bool InEveningWindow(TDateTime now, TDateTime late) {
  const TDateTime t = TimeOf(now);
  return t < TimeOf(late) && t > TimeOf(late - kFifteenMinutes);
}

bool InMorningWindow(TDateTime now, TDateTime early) {
  const TDateTime t = TimeOf(now);
  return t > TimeOf(early) && t < TimeOf(early + kFifteenMinutes);
}

TOutlookProcessor::TOutlookProcessor(ProcessorHost& host, ProcessorEnvironment env)
    : host_(host), env_(std::move(env)) {
  if (!env_.clock) env_.clock = std::make_shared<platform::SystemClock>();
  if (!env_.input) env_.input = std::make_shared<platform::SessionInput>();
  if (!env_.open_event) env_.open_event = platform::OpenNamedEvent;
  if (!env_.com) env_.com = platform::SystemComApartment();
  if (!env_.debug_output) env_.debug_output = platform::SystemDebugOutput();
  // The store is the program's to choose (shell/LocalStoreEngine.h on this platform); without
  // one, every pass says so.
  if (!env_.connector) {
    env_.connector = []() -> std::shared_ptr<outlook::Application> {
      throw outlook::AutomationError("No mail and calendar store is set up.");
    };
  }

  if (env_.working_dir.empty()) {
    env_.working_dir = platform::ProgramDataFolder();
    if (env_.earlier_dirs.empty()) env_.earlier_dirs = platform::EarlierDataFolders();
  }

  outlook_ = NewConnection();
  if (!host_.IsApplicationMainWindow()) {
    host_.ShowException("ERROR IN PROCESSOR");
    return;
  }
  std::string note;
  wake_event_ = env_.open_event(kWakeEventName, note);
  if (!note.empty()) AddDebugLine(note);
  host_.SetProcessorRunning(true);
  if (env_.start_thread) {
    thread_ = std::thread([this] {
      platform::LowerThisThreadPriority();
      Execute();
    });
  }
}

TOutlookProcessor::~TOutlookProcessor() {
  if (thread_.joinable()) {
    Terminate();
    if (wake_event_) wake_event_->Set();
    thread_.join();
  }
  try {
    SaveDebugFile();
  } catch (...) {
    // Nothing more can be done about a log that cannot be written.
  }
}

void TOutlookProcessor::Stop() {
  Terminate();
  if (wake_event_) wake_event_->Set();
}

void TOutlookProcessor::Wake() {
  if (wake_event_) wake_event_->Set();
}

void TOutlookProcessor::StoreChanged() {
  store_changed_.store(true);
  Wake();
}

void TOutlookProcessor::RequestTestMessage(const std::string& address, const std::string& subject,
                                           const std::string& body) {
  {
    std::lock_guard lock(test_mutex_);
    test_address_ = address;
    test_subject_ = subject;
    test_body_ = body;
    test_requests_.fetch_add(1, std::memory_order_release);
  }
  Wake();
}

std::filesystem::path TOutlookProcessor::FilePath(const std::string& name) const {
  return env_.working_dir / name;
}

std::unique_ptr<outlook::TOutlookApplication> TOutlookProcessor::NewConnection() const {
  return std::make_unique<outlook::TOutlookApplication>(env_.connector, /*auto_quit=*/true);
}

void TOutlookProcessor::Execute() {
  AddDebugLine("Execute Start");
  AddDebugLine("Loading From Disk");
  // What a killed run left half-way through a save; nothing else writes these files now.
  for (const char* name : {kTaskFileName, kNotifyFileName, kEmailFileName, kFirstFileName,
                           "DEBUG.LOG", "Test-Note.NST", "Test-Task.NST"})
    platform::RemoveStaleTemporaries(FilePath(name));
  try {
    LoadTasks();
    LoadNotify();
    notes_changed_ = true;  // the view of the keys is written once the calendar was scanned
    LoadEmail();
    LoadFirstChecks();
  } catch (...) {
    DebugLog("Failed Load");
  }
  PrepareWorkingFolder();
  env_.clock->Sleep(500);
  DebugLog("Checked... Beginning");
  DebugLog("Ok");

  com_initialized_ = env_.com->Initialize();
  DebugLog("COI");
  if (!com_initialized_) {
    Terminate();
    host_.ShowException(kComFailureMessage);
  }

  DebugLog("Start Loop");
  FailureCount = 0;
  UrgentPassCounter = 0;
  while (!Terminated()) {
    if (!GuardedPass()) break;
  }
  // The store's objects belong to this thread's apartment: they are let go (and the connection
  // quits) here, before the apartment ends. The connection left in their place connects only if
  // asked.
  CalendarFolder.reset();
  TaskFolder.reset();
  InboxFolder.reset();
  outlook_ = NewConnection();
  if (com_initialized_) {
    env_.com->Uninitialize();
    com_initialized_ = false;
  }
  Shutdown();
}

bool TOutlookProcessor::GuardedPass() {
  // A failed pass is logged and the log written out at once, whatever the log switch says.
  auto record = [this](const std::string& message) {
    DebugLog("Error" + message);
    try {
      SaveDebugFile();
    } catch (...) {
      // A log that cannot be written must not stop the engine.
    }
  };
  try {
    RunPass();
    FailureCount = 0;
    return true;
  } catch (const outlook::AutomationError& e) {
    record(e.what());
    host_.SetStatusText(e.what());
    ++FailureCount;
    if (FailureCount > kMaxConsecutiveFailures) return false;
    return Reconnect();
  } catch (const std::exception& e) {
    record(e.what());
  } catch (...) {
    record("");
  }
  // Waiting is what keeps an error that comes back on every pass from turning the loop into a
  // spin that starves everything else.
  try {
    WaitForNextPass();
  } catch (...) {
  }
  return true;
}

void TOutlookProcessor::RunScan(const char* what, std::string& problem,
                                const std::function<void()>& scan) {
  try {
    scan();
  } catch (const outlook::AutomationError&) {
    throw;  // the connection's trouble: the loop's handler counts it and reconnects
  } catch (const std::exception& e) {
    ReportProblem(what, problem, e.what());
  }
}

void TOutlookProcessor::ReportProblem(const char* what, std::string& last,
                                      const std::string& problem) {
  if (problem == last) return;
  if (problem.empty()) {
    DebugLog(std::string(what) + " read again");
  } else {
    DebugLog("Error" + problem);
    closing_status_ = problem;
  }
  last = problem;
}

int TOutlookProcessor::CountForSweep(outlook::MAPIFolder& folder, const char* what,
                                     std::string& problem, bool& whole) {
  int count = 0;
  try {
    count = folder.Items()->Count();
  } catch (...) {
    whole = false;  // what this sweep has not met may yet be there
    throw;
  }
  const std::string now = folder.Problem();
  if (!now.empty()) whole = false;
  ReportProblem(what, problem, now);
  return count;
}

void TOutlookProcessor::EndSweep(int& sweep, bool& whole) {
  if (whole) ++sweep;
  whole = true;
}

bool TOutlookProcessor::Reconnect() {
  if (com_initialized_) {
    env_.com->Uninitialize();
    com_initialized_ = false;
  }
  if (Terminated()) return true;  // the loop condition ends it
  if (!env_.com->Initialize()) {
    // Without the component runtime nothing more can be done; end the loop, but through the
    // shutdown steps so the state is saved and the window learns the engine has stopped.
    Terminate();
    return false;
  }
  com_initialized_ = true;
  retired_connections_.push_back(std::move(outlook_));
  outlook_ = NewConnection();
  return true;
}

void TOutlookProcessor::RunPass() {
  if (store_changed_.exchange(false)) {
    // The old connection goes first: its store is not the user's any more.
    DebugLog("The store's profile changed: connecting again");
    CalendarFolder.reset();
    TaskFolder.reset();
    InboxFolder.reset();
    outlook_.reset();
    outlook_ = NewConnection();
    AppointmentCursor = TaskCursor = 1;
    calendar_sweep_whole_ = task_sweep_whole_ = false;  // what the old store held is not swept
  }
  ProcessChecks();
  SaveState();
  SendPendingTest();
  PassOutbox();

  const TDateTime now = env_.clock->Now();
  if (InsideDay(now, host_.EarlyTime(), host_.LateTime())) {
    host_.SetStatusText("Checking for current notifications.");
    Changed = false;
    CheckAway();
    if (UserAway) {
      HandleNotify();
      TaskReminders();
      if (host_.EveningNotify() && now > NextEveningCheck && InEveningWindow(now, host_.LateTime()))
        EveningFirstMeeting();
      if (host_.MorningNotify() && now > NextMorningCheck &&
          InMorningWindow(now, host_.EarlyTime()))
        MorningFirstMeeting();
      if (host_.UrgentEmail() && UrgentPassCounter == 0)
        RunScan("Inbox", inbox_problem_, [this] { CheckUrgentEmail(); });
      if (++UrgentPassCounter >= 5) UrgentPassCounter = 0;
    }
    if (Changed) SaveState();
  }

  // A source's trouble stays on the status line at every pass while it lasts (the log has it
  // once, when it starts).
  for (const std::string* problem :
       {&calendar_problem_, &task_problem_, &inbox_problem_, &input_problem_}) {
    if (closing_status_.empty()) closing_status_ = *problem;
  }
  host_.SetStatusText(closing_status_.empty() ? "Processor Idle." : closing_status_);
  closing_status_.clear();
  LastCursor = env_.input->GetCursorPos();
  WaitForNextPass();
  SendPendingTest();
}

void TOutlookProcessor::PassOutbox() {
  if (!env_.outbox_pass) return;
  std::string waiting;
  try {
    for (const std::string& line : env_.outbox_pass(waiting)) DebugLog(line);
  } catch (const std::exception& e) {
    waiting = std::string("The outbox cannot be read: ") + e.what();
  }
  // Said at every pass while texts wait; logged when it changes.
  if (waiting != outbox_problem_) DebugLog(waiting.empty() ? "Outbox empty" : waiting);
  outbox_problem_ = waiting;
  if (!waiting.empty()) closing_status_ = waiting;
}

void TOutlookProcessor::ProcessChecks() {
  DebugLog("ProcessCheckes");
  if (host_.MeetingNotify() || host_.MorningNotify() || host_.EveningNotify())
    RunScan("Calendar", calendar_problem_, [this] { CheckAppointments(); });
  if (host_.TaskNotify() || host_.TaskPreNotify() || host_.TaskReminder())
    RunScan("Tasks", task_problem_, [this] { CheckTasks(); });
  DebugLog("ProcessCheckes-End");
}

void TOutlookProcessor::WaitForNextPass() {
  const TDateTime now = env_.clock->Now();
  DebugLog("Sleep:" + FormatDateTime(now));
  const int timeout = ChooseWaitMilliseconds(UserAway, now, host_.EarlyTime(), host_.LateTime());
  FlushDebugLog();
  platform::TrimMappedMemory();
  wake_event_->Wait(std::chrono::milliseconds(timeout));
  CheckAway();
  if (!Terminated()) wake_event_->Reset();
  DebugLog("Wake:" + FormatDateTime(env_.clock->Now()));
}

void TOutlookProcessor::Shutdown() {
  DebugLog("Shutting Down");
  SaveTasks();
  SaveNotify();
  WriteNotes(true);
  SaveEmail();
  SaveFirstChecks();
  host_.SetProcessorRunning(false);
  DebugLog("Completed");
}

}  // namespace ravenox::engine
