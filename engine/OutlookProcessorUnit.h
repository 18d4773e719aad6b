// The notification engine: one worker thread that reads the calendar, the tasks and the inbox on
// every pass and, inside the user's day and while the user is away, texts the phone what is due.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/DateTime.h"
#include "engine/ProcessorHost.h"
#include "engine/Records.h"
#include "outlook/OutlookApplication.h"
#include "platform/Clock.h"
#include "platform/ComApartment.h"
#include "platform/DebugOutput.h"
#include "platform/InputState.h"
#include "platform/WakeEvent.h"

namespace ravenox::engine {

inline constexpr const char* kWakeEventName = "BrindlemoorProcessor";
inline constexpr const char* kComFailureMessage =
    "Unable initilize Outlook connection.\r\nPlease verify Outlook is installed\r\nThis program "
    "doesn't support Outlook Express";

// Everything the engine takes from the operating system. Members left empty get the real ones.
struct ProcessorEnvironment {
  std::shared_ptr<platform::Clock> clock;
  std::shared_ptr<platform::InputState> input;
  // Opens the wake event by name; a note it leaves goes to the debug log.
  std::function<std::unique_ptr<platform::WakeEvent>(const std::string& name, std::string& note)>
      open_event;
  std::shared_ptr<platform::ComApartment> com;
  std::shared_ptr<platform::DebugOutput> debug_output;
  // Makes the Outlook application for a new connection object (by default the local store of
  // the user's profile).
  outlook::Connector connector;
  // The store's own outbox, where it keeps one (the local store does): at each pass it hands on
  // what waits; it returns what happened, for the debug log, and sets `waiting` to how many texts
  // wait and why ("" when none). Empty: the store sends by itself (Outlook).
  std::function<std::vector<std::string>(std::string& waiting)> outbox_pass;
  // Where the state files and logs live; empty means the program's data folder, whatever folder
  // the program was started from.
  std::filesystem::path working_dir;
  // Where earlier versions left them (the folders they were started from). Their state files are
  // taken over once at start and then removed, so an upgrade sends nothing twice. Empty with an
  // empty `working_dir`: platform::EarlierDataFolders().
  std::vector<std::filesystem::path> earlier_dirs;
  // Tests drive single operations without the thread.
  bool start_thread = true;
};

// The past-due reminder period in days for the TaskRemindPeriod setting; `valid` is false for a
// value outside 0..3 (which then means one day).
double TaskRemindPeriodDays(int32_t setting, bool& valid);

// How long the engine sleeps after a pass.
int ChooseWaitMilliseconds(bool user_away, TDateTime now, TDateTime early, TDateTime late);
// The user's day: strictly after EarlyTime and strictly before LateTime, by time of day.
bool InsideDay(TDateTime now, TDateTime early, TDateTime late);
// The last quarter hour before LateTime and the first after EarlyTime (both bounds exclusive).
bool InEveningWindow(TDateTime now, TDateTime late);
bool InMorningWindow(TDateTime now, TDateTime early);

// What a text tells of, for the store's queue: its kind, the moment it is about (a meeting's
// start, a reminder's due time) and its record's text.
std::string TextIdentity(const std::string& kind, const std::string& text, TDateTime when);

// One occurrence of a meeting as the calendar scan judges it.
struct MeetingOutcome {
  TDateTime start, notify;  // local time; 0 when no occurrence was found
  std::string text;         // the record's key
  bool all_day = false;
  // Why no record is made (the window, a deleted or cancelled occurrence, ...); null: one is.
  const char* skipped = nullptr;
  std::string detail;  // what the store said, for a deleted occurrence
};

class TOutlookProcessor {
 public:
  // Starts the thread unless `host` is not the application's main window ("ERROR IN PROCESSOR").
  explicit TOutlookProcessor(ProcessorHost& host, ProcessorEnvironment env = {});
  // Waits for the thread to end, then writes "DEBUG.LOG".
  ~TOutlookProcessor();
  TOutlookProcessor(const TOutlookProcessor&) = delete;
  TOutlookProcessor& operator=(const TOutlookProcessor&) = delete;

  // --- Called from the main window's thread -------------------------------------------------
  // Requests the end of the thread and wakes it.
  void Stop();
  // Hands a test message to the engine and wakes it; it goes out after the current wait.
  void RequestTestMessage(const std::string& address, const std::string& subject,
                          const std::string& body);
  // Cuts the current wait short.
  void Wake();
  // The store's own configuration changed (the wizard wrote the local store's profile): the
  // engine connects to the store afresh at its next pass, which comes at once.
  void StoreChanged();
  // A line for the debug log from another thread; the engine's thread writes it with its next.
  void PostDebugNote(const std::string& message);
  bool ThreadStarted() const { return thread_.joinable(); }
  std::atomic<bool> DebugEnabled{false};

  // --- The engine thread's work (public so tests can drive single steps on a fake clock) -----
  void Execute();
  // One pass inside the failure handler; false when the loop must end.
  bool GuardedPass();
  void RunPass();
  void ProcessChecks();
  void WaitForNextPass();
  void CheckAway();
  bool KeyboardPressed();
  bool Terminated() const { return terminated_.load(); }
  void Terminate() { terminated_.store(true); }

  // Debug log.
  void DebugLog(const std::string& message);
  // A line without time stamp, recorded whether or not the log is on.
  void AddDebugLine(const std::string& line);
  void AppendDebugLine(std::string_view stamp, std::string_view message);
  // Makes "DEBUG.LOG" hold exactly DebugText(); throws on failure.
  void SaveDebugFile();
  // Writes the lines not yet in "DEBUG.LOG" (past its first 250 lines); a failure adds a
  // "Debug Error:" line.
  void FlushDebugLog();
  // The lines kept, each ended by CR LF, as the file holds them.
  std::string_view DebugText() const { return debug_text_; }
  std::size_t DebugLineCount() const { return debug_ends_.size(); }
  std::vector<std::string> DebugLines() const;

  // State files.
  void LoadTasks();
  void LoadNotify();
  void LoadEmail();
  void SaveTasks();
  void SaveNotify();
  void SaveEmail();
  void SaveState();
  // Saves the state at once when a text went out since the last save, so that the record of it is
  // on disk before anything else happens: a store that cannot tell a text it already took
  // (Outlook) would otherwise send it again after a crash.
  void SaveSent();
  // When the morning and the evening notice may next run ("FIRST.CLD").
  void LoadFirstChecks();
  void SaveFirstChecks();

  // Dispatch.
  // `identity` names what the text tells of, the same whenever that is sent again (after a
  // crash before the record that it went was saved): the store sends it once.
  bool SendNewEmail(const std::string& address, const std::string& subject, const std::string& body,
                    const std::string& identity = {});
  // The three notification senders; true when the message went out. A task text's `what` tells
  // which of its texts this is, so each has an identity of its own.
  bool NotifyEvent(TEventItem& record);
  bool NotifyFirstMeeting(TEventItem& record, const std::string& prefix);
  bool NotifyTask(TTaskEvent& record, const std::string& what = "task");
  void HandleNotify();
  void SendPendingTest();
  bool TestPending() const {
    return test_requests_.load(std::memory_order_acquire) !=
           test_sent_.load(std::memory_order_acquire);
  }

  // Scans.
  void CheckAppointments();
  // The start of the series' occurrence today, tomorrow or the day after (in the pattern's own
  // calendar, today taken at `reference`), or 0 when it has none; then `why` says why not.
  TDateTime NextOccurrence(outlook::RecurrencePattern& pattern, TDateTime reference,
                           const char** why = nullptr);
  // The starts of the series' occurrences on the first `days` days from today (in the pattern's
  // own calendar), in order; when there are none, `why` says why not.
  std::vector<TDateTime> SeriesStarts(outlook::RecurrencePattern& pattern, TDateTime reference,
                                      int days, const char** why = nullptr);
  // What the calendar scan makes of one appointment: its series expanded at `scan_time`, the
  // window taken around `now`. A key for each occurrence taken; for one passed over, why.
  std::vector<MeetingOutcome> ReadMeeting(outlook::AppointmentItem& appointment,
                                          TDateTime scan_time, TDateTime now);
  void GetCalendarFolder();
  void MorningFirstMeeting();
  void EveningFirstMeeting();
  void CheckTasks();
  void GetTaskFolder();
  void TaskReminders();
  void CheckUrgentEmail();
  void GetInbox();

  // --- Engine-thread state ------------------------------------------------------------------
  bool UserAway = false;
  platform::CursorPoint LastCursor, CurrentCursor;
  bool Changed = false;
  TDateTime NextMorningCheck = 0.0, NextEveningCheck = 0.0;
  int32_t AppointmentCursor = 0, TaskCursor = 0;
  // The sweeps of the calendar and of the task folder, counted from 1: the one under way. A
  // sweep ends when its cursor runs past the end of the folder. A record goes only once a whole
  // sweep has passed without meeting it, so records loaded at start, or not reached for a few
  // passes of a large folder, are kept.
  int CalendarSweep = 1, TaskSweep = 1;
  TDateTime ScanTime;
  int FailureCount = 0;
  int UrgentPassCounter = 0;
  std::shared_ptr<outlook::MAPIFolder> CalendarFolder, TaskFolder, InboxFolder;
  TNotifyList NotifyList;
  TTaskList TaskList;
  TEmailList EmailList;

  outlook::TOutlookApplication& Outlook() { return *outlook_; }
  platform::WakeEvent& WakeEvent() { return *wake_event_; }
  std::filesystem::path FilePath(const std::string& name) const;

 private:
  std::unique_ptr<outlook::TOutlookApplication> NewConnection() const;
  bool Reconnect();
  bool SendNotification(const std::string& subject, const std::string& identity);
  // Runs one of the scans. An error other than an automation error (a source that cannot be
  // read, a missing folder) costs that scan only: it is reported when it first appears, and the
  // other scans, the saves and the sends go on.
  void RunScan(const char* what, std::string& problem, const std::function<void()>& scan);
  // Hands on what waits in the store's outbox; while texts wait, the pass ends saying so.
  void PassOutbox();
  // Logs a source's trouble when it starts, changes or clears, and shows it at the end of the pass.
  void ReportProblem(const char* what, std::string& last, const std::string& problem);
  // The folder's item count at the start of a scan. A sweep during which the folder, or a source
  // of it, could not be read is not whole; its trouble is reported.
  int CountForSweep(outlook::MAPIFolder& folder, const char* what, std::string& problem,
                    bool& whole);
  // A sweep ran past the end of its folder; it counts only if every source could be read.
  static void EndSweep(int& sweep, bool& whole);
  // The unnotified meeting with the earliest notify time strictly between the two.
  TEventItem* FirstMeetingBetween(TDateTime from, TDateTime to);
  void Shutdown();
  template <typename List>
  void LoadStateFile(const char* name, List& list);
  // False when the file could not be written (or is one that could not be read at start).
  template <typename List>
  bool SaveStateFile(const char* name, const List& list);
  // Makes the working folder private; merges the state files earlier versions left elsewhere.
  void PrepareWorkingFolder();
  template <typename List>
  bool TakeOver(const std::filesystem::path& file, List& list);
  // Replaces a file of the working folder unless it already holds exactly these bytes.
  void WriteIfChanged(const std::string& name, const std::string& bytes, bool durable);
  // The file still has the length it was last written with by this run.
  bool StillWritten(const std::string& name) const;
  // Writes the tracked meeting keys to Test-Note.NST when they changed: at most once a minute, and
  // whenever `now_anyway` (a stop). Rebuilding it is proportional to the whole list.
  void WriteNotes(bool now_anyway);

  ProcessorHost& host_;
  ProcessorEnvironment env_;
  std::map<std::string, std::string> written_files_;  // what each file was last written with
  std::string encoded_;  // a state file's bytes as they would be saved now; its room is kept
  // A list as it was last saved: which records (the generation) and their fields beside the texts.
  struct SavedList {
    uint64_t generation = 0;
    std::string fields;
  };
  std::map<std::string, SavedList> saved_lists_;
  std::string fields_;                      // the fields beside the texts now
  std::set<std::string> unreadable_files_;  // state files there at start that could not be read
  bool calendar_sweep_whole_ = true, task_sweep_whole_ = true;
  bool notes_changed_ = false;  // keys added to or deleted from NotifyList since Test-Note.NST
  TDateTime notes_written_ = 0.0;
  std::string calendar_problem_, task_problem_, inbox_problem_, input_problem_,
      outbox_problem_;          // as last reported
  std::string closing_status_;  // shown in place of "Processor Idle." at the end of this pass
  // The lines kept, one after another in one buffer (a pass logs hundreds and a rotation drops
  // two thousand: no allocation for each), and where each ends, past its CR LF.
  std::string debug_text_;
  std::vector<std::size_t> debug_ends_;
  // The time stamp of the last line, and the second it stands for: a pass logs hundreds of lines
  // within one.
  std::string debug_stamp_;
  double debug_stamp_second_ = -1.0;
  // How many of the lines kept "DEBUG.LOG" holds, while it is known to hold a prefix of it; lets a
  // write append the new lines instead of rewriting the file.
  bool debug_file_in_step_ = false;
  std::size_t debug_file_lines_ = 0;
  uint64_t debug_file_bytes_ = 0;
  std::mutex lock_;  // held while one mail is created and sent
  std::unique_ptr<outlook::TOutlookApplication> outlook_;
  // Connections replaced after Outlook errors. They are kept, not destroyed, until the engine
  // goes: destroying one would make Outlook quit under the new connection.
  std::vector<std::unique_ptr<outlook::TOutlookApplication>> retired_connections_;
  std::unique_ptr<platform::WakeEvent> wake_event_;
  bool com_initialized_ = false;
  // The last SendNewEmail stopped before sending: the user came back, nothing tells whether
  // anyone is there, or the engine is stopping. What it was for is not used up.
  bool held_back_ = false;
  // A text went out since the state files were last saved.
  bool sent_unsaved_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> store_changed_{false};

  std::mutex notes_mutex_;
  std::vector<std::string> notes_;
  std::atomic<bool> notes_pending_{false};

  std::mutex test_mutex_;
  std::string test_address_, test_subject_, test_body_;
  // Requests counted against sends: a request made while a test message is being sent is not
  // taken for the one going out, and gets a send of its own.
  std::atomic<uint64_t> test_requests_{0}, test_sent_{0};

  std::thread thread_;
};

}  // namespace ravenox::engine
