// Turning a recurrence pattern into the start of its occurrence today or in the next two days:
// each day of the window is tested against the pattern's rule, in the pattern's own calendar,
// which the pattern converts the reference time into.
#include "engine/OutlookProcessorUnit.h"
#include "outlook/PatternRule.h"

namespace ravenox::engine {
namespace {

// The days looked at: today, tomorrow and the day after.
constexpr int kWindowDays = 3;

const char* DebugLine(int type) {
  switch (type) {
    case outlook::olRecursDaily:
      return "Daily Appt";
    case outlook::olRecursWeekly:
      return "Weekly Appt";
    case outlook::olRecursMonthly:
      return "Monthly Output";
    case outlook::olRecursYearly:
      return "Yearly Output";
    case outlook::olRecursMonthNth:
      return "Monthly Nth Output";
    case outlook::olRecursYearNth:
      return "Yearly Nth Output";
    default:
      return nullptr;
  }
}

}  // namespace

TDateTime TOutlookProcessor::NextOccurrence(outlook::RecurrencePattern& pattern,
                                            TDateTime reference, const char** why) {
  const std::vector<TDateTime> starts = SeriesStarts(pattern, reference, kWindowDays, why);
  return starts.empty() ? TDateTime(0.0) : starts.front();
}

std::vector<TDateTime> TOutlookProcessor::SeriesStarts(outlook::RecurrencePattern& pattern,
                                                       TDateTime reference, int days,
                                                       const char** why) {
  std::vector<TDateTime> starts;
  const int type = pattern.RecurrenceType();
  const char* line = DebugLine(type);
  if (line == nullptr) {
    if (why != nullptr) *why = "no expansion";
    return starts;
  }
  DebugLog(line);
  const outlook::PatternRule rule = outlook::PatternRule::Read(pattern, type);
  const TDateTime today = DateOf(pattern.PatternTime(reference));
  // Why the window has no day of the series is why its last day is not one: before the start
  // only when even that day is, after the end when the end came within the window or before it.
  const char* reason = nullptr;
  for (int i = 0; i < days; ++i) {
    const TDateTime day = today + i;
    reason = rule.Why(day);
    if (reason == nullptr) starts.push_back(day + TimeOf(rule.start_time));
  }
  if (starts.empty() && why != nullptr) *why = reason;
  return starts;
}

}  // namespace ravenox::engine
