// The calendar scan and the first-meeting notices.
#include <algorithm>

#include "base/Formats.h"
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {
namespace {

constexpr int kAppointmentBudget = 150;
constexpr double kMeetingLookAhead = 3.0;
constexpr double kFourHours = 1.0 / 6.0;
constexpr double kReminderGrace = 2.0 / 1440.0;
constexpr std::size_t kBodyCharacters = 200;

// The key of a meeting: its start time of day, where, what, and the start of its notes. The date
// is not part of it, so a series' occurrences on different days share one record.
std::string MeetingKey(TDateTime start, const std::string& location, const std::string& subject,
                       const std::string& body) {
  return RecordText(FormatLongTime(start) + "@loc:" + location + ":" + subject + " " +
                    FirstCharacters(body, kBodyCharacters));
}

const char* const kOutsideWindow = "outside the window";

// The days of a series looked at: today and the next three, so that any occurrence the window
// takes can be found.
constexpr int kSeriesDays = 4;

// A reminder more than two minutes past is over: sent, or given up.
bool ReminderOver(TDateTime now, TDateTime notify) {
  return now - kReminderGrace > notify;
}

// Taken when now - 1 hour <= start <= now + 3 days.
bool InWindow(TDateTime now, TDateTime start) {
  return !(now - kOneHour > start) && !(now + kMeetingLookAhead < start);
}

}  // namespace

std::vector<MeetingOutcome> TOutlookProcessor::ReadMeeting(outlook::AppointmentItem& appointment,
                                                           TDateTime scan_time, TDateTime now) {
  std::vector<MeetingOutcome> out;
  // One occurrence: the appointment itself, or one of its series.
  auto judge = [&](outlook::AppointmentItem& occurrence, TDateTime start) {
    MeetingOutcome m;
    m.start = start;
    // The lead is used whether or not the reminder is switched on.
    m.notify = start - occurrence.ReminderMinutesBeforeStart() * kOneMinute;
    m.all_day = occurrence.AllDayEvent();
    const int status = occurrence.MeetingStatus();
    if (status == outlook::olMeetingCanceled || status == outlook::olMeetingReceivedAndCanceled) {
      m.skipped = "cancelled";
    } else if (occurrence.ResponseStatus() == outlook::olResponseDeclined) {
      m.skipped = "declined";
    } else if (m.all_day && !occurrence.ReminderSet()) {
      // Its default lead would text about midnight the evening before.
      m.skipped = "all day without a reminder";
    } else if (!InWindow(now, start)) {
      m.skipped = kOutsideWindow;
    } else {
      m.text = MeetingKey(start, occurrence.Location(), occurrence.Subject(), occurrence.Body());
    }
    out.push_back(std::move(m));
  };

  if (!appointment.IsRecurring()) {
    DebugLog("Signal Occurance Meeting");
    judge(appointment, appointment.Start());
    return out;
  }
  const auto pattern = appointment.GetRecurrencePattern();
  const char* why = nullptr;
  // The series' next occurrence whose reminder is still to come: a reminder may fall on an
  // earlier day than its occurrence (an all-day event with an alarm the evening before, a meeting
  // just after midnight, a reminder of a day or more), and today's occurrence, once its reminder
  // is over, must not hide tomorrow's. With none to come, the first one, as it always was.
  const std::vector<TDateTime> days = SeriesStarts(*pattern, scan_time, kSeriesDays, &why);
  auto passed_over = [&](const char* reason, std::string detail = {}) {
    MeetingOutcome m;
    m.skipped = reason;
    m.detail = std::move(detail);
    out.push_back(std::move(m));
  };
  std::shared_ptr<outlook::AppointmentItem> chosen, first;
  std::string detail;
  std::vector<TDateTime> walked;
  for (const TDateTime day : days) {
    walked.push_back(DateOf(day));
    std::shared_ptr<outlook::AppointmentItem> occurrence;
    try {
      occurrence = pattern->GetOccurrence(day);
    } catch (const outlook::AutomationError& e) {
      if (detail.empty()) detail = e.what();
    }
    if (occurrence == nullptr) continue;
    if (first == nullptr) first = occurrence;
    const TDateTime notify =
        occurrence->Start() - occurrence->ReminderMinutesBeforeStart() * kOneMinute;
    if (!ReminderOver(now, notify)) {
      chosen = occurrence;
      break;
    }
  }
  if (chosen == nullptr) chosen = first;
  if (days.empty()) {
    passed_over(why);
  } else if (chosen != nullptr) {
    judge(*chosen, chosen->Start());
  } else {
    passed_over("deleted that day", detail);
  }
  // Occurrences moved here from another day of the series.
  const auto exceptions = pattern->Exceptions();
  const int count = exceptions != nullptr ? exceptions->Count() : 0;
  for (int i = 1; i <= count; ++i) {
    const auto exception = exceptions->Item(i);
    if (exception == nullptr || exception->Deleted()) continue;
    // The days looked at above were judged as they now are, moved or not.
    const TDateTime original = DateOf(exception->OriginalDate());
    if (std::find(walked.begin(), walked.end(), original) != walked.end()) continue;
    const auto moved = exception->AppointmentItem();
    if (moved == nullptr) continue;
    const TDateTime start = moved->Start();
    if (InWindow(now, start)) judge(*moved, start);
  }
  return out;
}

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
  while (CalendarFolder->Items()->Count() >= AppointmentCursor && examined < kAppointmentBudget) {
    if (Terminated()) {
      WriteNotes(true);
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
      const TDateTime now = env_.clock->Now();
      for (const MeetingOutcome& m : ReadMeeting(*appointment, ScanTime, now)) {
        if (m.start == TDateTime(0.0)) {
          DebugLog("No Next Meeting Time");
          continue;
        }
        if (m.skipped != nullptr) {
          if (m.skipped != kOutsideWindow) DebugLog(std::string("Passed over: ") + m.skipped);
          continue;
        }
        auto record = std::make_unique<TEventItem>();
        record->StartTime = m.start;
        record->NotifyTime = m.notify;
        record->Text = m.text;
        record->LastSeen = now;
        record->AllDay = m.all_day;
        DebugLog("Checking for:" + record->Text);
        record->Sweep = CalendarSweep;
        if (TEventItem* existing = NotifyList.Lookup(record->Text)) {
          // The same occurrence found again keeps its times and whether it was sent. The key
          // holds no date, so another occurrence of it (tomorrow's of a daily series, a copy on
          // another day) takes the record over once the record's own reminder is over, or when
          // it comes sooner and its reminder is still to come.
          const bool later_after_done =
              m.start > existing->StartTime && ReminderOver(now, existing->NotifyTime);
          const bool sooner_to_come = m.start < existing->StartTime && !ReminderOver(now, m.notify);
          if (later_after_done || sooner_to_come) {
            existing->StartTime = m.start;
            existing->NotifyTime = m.notify;
            existing->Notified = false;
            DebugLog("Moved to another occurrence");
          }
          existing->LastSeen = now;
          existing->Sweep = CalendarSweep;
          existing->AllDay = m.all_day;
        } else {
          NotifyList.Add(std::move(record));
          DebugLog("Added");
          notes_changed_ = true;
        }
      }
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
    if (r.LastSeen < cutoff && r.Sweep < CalendarSweep - 1) {
      NotifyList.Delete(i);
      notes_changed_ = true;
    }
  }
  WriteNotes(false);
}

void TOutlookProcessor::WriteNotes(bool now_anyway) {
  // The view of the tracked keys follows the list within a minute, not after every scan: it is
  // rebuilt whole, and a large calendar changes the list on most passes of a sweep.
  const TDateTime now = env_.clock->Now();
  if (!notes_changed_ ||
      (!now_anyway && now < notes_written_ + kOneMinute && now >= notes_written_))
    return;
  try {
    WriteIfChanged("Test-Note.NST", KeyLines(NotifyList), /*durable=*/false);
    notes_changed_ = false;
    notes_written_ = now;
  } catch (const std::exception& e) {
    DebugLog(std::string("Save Error") + e.what());
  }
}

TEventItem* TOutlookProcessor::FirstMeetingBetween(TDateTime from, TDateTime to) {
  TEventItem* chosen = nullptr;
  for (int i = NotifyList.Count() - 1; i >= 0; --i) {
    if (Terminated()) break;
    TEventItem& r = NotifyList[i];
    if (r.Notified || r.AllDay || !(from < r.NotifyTime && r.NotifyTime < to)) continue;
    // Earliest notify time; on a tie the one met first in this walk stays.
    if (chosen == nullptr || r.NotifyTime < chosen->NotifyTime) chosen = &r;
  }
  return chosen;
}

// A notice held back because the user came back is tried again at a later away pass of its
// quarter hour; otherwise it is done for the day, sent or not.
void TOutlookProcessor::MorningFirstMeeting() {
  const TDateTime today = DateOf(env_.clock->Now());
  if (TEventItem* first = FirstMeetingBetween(today, today + 1.0)) {
    if (!NotifyFirstMeeting(*first, "First:") && held_back_) return;
  }
  NextMorningCheck = today + 1.0;
  SaveSent();
}

void TOutlookProcessor::EveningFirstMeeting() {
  const TDateTime today = DateOf(env_.clock->Now());
  if (TEventItem* first = FirstMeetingBetween(today + 1.0, today + 2.0)) {
    if (!NotifyFirstMeeting(*first, "First:") && held_back_) return;
  }
  NextEveningCheck = today + 1.0;
  SaveSent();
}

}  // namespace ravenox::engine
