// The calendar scan and the first-meeting notices.
#include "base/Formats.h"
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {
namespace {

constexpr int kAppointmentBudget = 150;
constexpr double kLookAhead = 3.0;
constexpr double kFourHours = 1.0 / 6.0;
constexpr std::size_t kBodyCharacters = 200;

// The key of a meeting: its start time of day, where, what, and the start of its notes. The date
// is not part of it, so a series' occurrences on different days share one record.
std::string MeetingKey(TDateTime start, const std::string& location, const std::string& subject,
                       const std::string& body) {
  return RecordText(FormatLongTime(start) + "@loc:" + location + ":" + subject + " " +
                    FirstCharacters(body, kBodyCharacters));
}

}  // namespace

void TOutlookProcessor::GetCalendarFolder() {
  DebugLog("Getting Calendar");
  auto folder = outlook_->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderCalendar);
  if (folder != nullptr) CalendarFolder = std::move(folder);
  DebugLog("Got Calendar");
}

void TOutlookProcessor::CheckAppointments() {
  if (AppointmentCursor == 0) AppointmentCursor = 1;
  int examined = 0;
  ScanTime = env_.clock->Now();
  GetCalendarFolder();
  if (CalendarFolder == nullptr) throw std::runtime_error("No calendar folder");

  host_.SetStatusText("Checking for New Appointments...");
  const int count =
      CountForSweep(*CalendarFolder, "Calendar", calendar_problem_, calendar_sweep_whole_);
  DebugLog("Scanning Meeting Folder, Count:" + std::to_string(count));
  DebugLog("Checking Appt");
  // The view of the tracked keys is brought up to date once a scan has accepted something, not
  // after every item: rebuilding it per item costs time in the square of a large calendar.
  bool notes_changed = false;
  auto write_notes = [&] {
    if (!notes_changed) return;
    try {
      WriteIfChanged("Test-Note.NST", KeyLines(NotifyList), /*durable=*/false);
    } catch (const std::exception& e) {
      DebugLog(std::string("Save Error") + e.what());
    }
  };
  while (CalendarFolder->Items()->Count() >= AppointmentCursor && examined < kAppointmentBudget) {
    if (Terminated()) {
      write_notes();
      return;
    }
    if (KeyboardPressed()) break;
    host_.SetStatusText("Checking for New Appointments..." + std::to_string(AppointmentCursor));
    const int32_t position = AppointmentCursor;
    try {
      const auto item = CalendarFolder->Items()->Item(AppointmentCursor);
      ++AppointmentCursor;
      ++examined;
      if (item == nullptr) continue;
      const auto appointment = outlook::As<outlook::AppointmentItem>(item);
      DebugLog(appointment->Subject());

      TDateTime start;
      if (appointment->IsRecurring()) {
        start = NextOccurrence(*appointment->GetRecurrencePattern(), ScanTime);
      } else {
        DebugLog("Signal Occurance Meeting");
        start = appointment->Start();
      }
      if (start == TDateTime(0.0)) {
        DebugLog("No Next Meeting Time");
        continue;
      }
      const TDateTime now = env_.clock->Now();
      if (now - kOneHour > start || now + kLookAhead < start) continue;

      auto record = std::make_unique<TEventItem>();
      record->StartTime = start;
      // The lead is used whether or not the reminder is switched on.
      record->NotifyTime = start - appointment->ReminderMinutesBeforeStart() * kOneMinute;
      record->Text =
          MeetingKey(start, appointment->Location(), appointment->Subject(), appointment->Body());
      record->LastSeen = now;
      DebugLog("Checking for:" + record->Text);
      record->Sweep = CalendarSweep;
      if (TEventItem* existing = NotifyList.Lookup(record->Text)) {
        existing->LastSeen = now;  // what it was and whether it was sent stay as they are
        existing->Sweep = CalendarSweep;
      } else {
        NotifyList.Add(std::move(record));
        DebugLog("Added");
      }
      notes_changed = true;
    } catch (const std::exception& e) {
      DebugLog(std::string("Save Error") + e.what());
      // Past the item that failed, and no further: skipping its neighbour too would leave that
      // meeting unread on every sweep.
      if (AppointmentCursor == position) {
        ++AppointmentCursor;
        ++examined;
      }
    }
  }

  write_notes();

  if (CalendarFolder->Items()->Count() < AppointmentCursor) {
    DebugLog("Reseting To First Meeting");
    AppointmentCursor = 1;
    EndSweep(CalendarSweep, calendar_sweep_whole_);
  }
  DebugLog("End Checking Appt");

  // A record goes four hours after it was last met, and only once a whole sweep of the calendar
  // has passed without meeting it: a large calendar takes many passes to sweep, and the records
  // loaded at start have not been met yet.
  const TDateTime cutoff = env_.clock->Now() - kFourHours;
  for (int i = NotifyList.Count() - 1; i >= 0; --i) {
    const TEventItem& r = NotifyList[i];
    if (r.LastSeen < cutoff && r.Sweep < CalendarSweep - 1) NotifyList.Delete(i);
  }
}

TEventItem* TOutlookProcessor::FirstMeetingBetween(TDateTime from, TDateTime to) {
  TEventItem* chosen = nullptr;
  for (int i = NotifyList.Count() - 1; i >= 0; --i) {
    if (Terminated()) break;
    TEventItem& r = NotifyList[i];
    if (r.Notified || !(from < r.NotifyTime && r.NotifyTime < to)) continue;
    // Earliest notify time; on a tie the one met first in this walk stays.
    if (chosen == nullptr || r.NotifyTime < chosen->NotifyTime) chosen = &r;
  }
  return chosen;
}

void TOutlookProcessor::MorningFirstMeeting() {
  const TDateTime today = DateOf(env_.clock->Now());
  if (TEventItem* first = FirstMeetingBetween(today, today + 1.0))
    NotifyFirstMeeting(*first, "First:");
  NextMorningCheck = today + 1.0;
}

void TOutlookProcessor::EveningFirstMeeting() {
  const TDateTime today = DateOf(env_.clock->Now());
  if (TEventItem* first = FirstMeetingBetween(today + 1.0, today + 2.0))
    NotifyFirstMeeting(*first, "First:");
  NextEveningCheck = today + 1.0;
}

}  // namespace ravenox::engine
