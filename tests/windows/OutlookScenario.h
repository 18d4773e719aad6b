// One day of a user's Outlook, the same in the tests and in the automation server that serves it:
// meetings single and recurring (one occurrence moved), cancelled and declined ones, an all-day
// event, tasks, and urgent mail whose texts come from other people.
#pragma once

#include <string>

#include "base/DateTime.h"
#include "outlook/fake/FakeOutlook.h"

namespace ravenox::testing {

inline const TDateTime kScenarioDay = EncodeDate(2026, 12, 8);  // a Tuesday

inline TDateTime ScenarioAt(int h, int m) {
  return kScenarioDay + EncodeTime(h, m, 0).Value();
}

// A sent mail's text on one line, as the server logs it: its line breaks and tabs written out.
inline std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  return out;
}

inline void FillScenario(outlook::fake::FakeOutlook& o) {
  auto meeting = [&](const char* subject, TDateTime start, int reminder) {
    auto a = o.AddAppointment();
    a->subject = subject;
    a->location = "Room 4";
    a->start = start;
    a->reminder_minutes = reminder;
    return a;
  };
  meeting("Standup", ScenarioAt(8, 40), 15);
  meeting("Caf\xC3\xA9 with Zo\xC3\xAB \xE2\x98\x95", ScenarioAt(11, 0), 10)->location =
      "\xC3\x9Cnter den Linden";
  meeting("Budget", ScenarioAt(13, 0), 15)->meeting_status = outlook::olMeetingCanceled;
  meeting("Vendor pitch", ScenarioAt(14, 0), 15)->response_status = outlook::olResponseDeclined;
  meeting("Offsite", ScenarioAt(8, 0) + 1.0, 60);
  auto holiday = meeting("Holiday", kScenarioDay + 2.0, 0);
  holiday->all_day = true;

  auto review = meeting("Review", ScenarioAt(10, 0) - 70.0, 15);
  review->is_recurring = true;  // Tuesdays and Thursdays at 10:00; today's moved to 15:30
  review->pattern->type = outlook::olRecursWeekly;
  review->pattern->day_of_week_mask = 4 | 16;
  review->pattern->pattern_start_date = kScenarioDay - 70.0;
  review->pattern->start_time = ScenarioAt(10, 0) - 70.0;
  auto moved = std::make_shared<outlook::fake::FakeAppointment>(o.faults);
  moved->subject = "Review (moved)";
  moved->location = "Room 9";
  moved->start = ScenarioAt(15, 30);
  moved->reminder_minutes = 15;
  review->pattern->ChangeOccurrence(kScenarioDay, moved);

  auto sync = meeting("Sync", ScenarioAt(16, 0) - 7.0, 10);
  sync->is_recurring = true;  // daily at 16:00
  sync->pattern->pattern_start_date = kScenarioDay - 7.0;
  sync->pattern->start_time = ScenarioAt(16, 0) - 7.0;

  auto report = o.AddTask();
  report->subject = "File the report";
  report->due_date = kScenarioDay;
  report->start_date = kScenarioDay - 2.0;
  report->reminder_set = true;
  report->reminder_time = ScenarioAt(14, 30);
  auto rent = o.AddTask();
  rent->subject = "Pay rent";
  rent->due_date = kScenarioDay + 1.0;
  rent->start_date = kScenarioDay + 1.0;

  auto down = o.AddMail();
  down->subject = "Server down\r\nBcc: everyone@example.org";
  down->sender_name = "Ops <ops@example.org>";
  down->importance = outlook::olImportanceHigh;
  down->received_time = ScenarioAt(8, 30);
  auto news = o.AddMail();
  news->subject = "Newsletter";
  news->sender_name = "News";
  news->received_time = ScenarioAt(9, 0);
}

}  // namespace ravenox::testing
