// Calendars for the benchmarks: as people keep them, as one file, as a vdir and for remind(1).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "base/DateTime.h"

namespace bench {

// Ten and a half years of meetings, a third recurring (daily, weekly, monthly; with COUNT, UNTIL
// or open; some with EXDATE), three zones, alarms, attendees. Without `first_day` the history runs
// from 2014 to mid-2024; with it, from that day on for 3850 days.
std::string RealisticEvent(int i, std::optional<ravenox::TDateTime> first_day = std::nullopt);

// The zones the events name, as a calendar program writes them into every file.
extern const char* const kZoneBlocks;

// `dir`/`name`.ics holding `events` such events, the same as a vdir `dir`/`name`/ (one file per
// event, only up to 100k events) and as `dir`/`name`.rem for remind(1). `extra` is added to each
// form as further events (iCalendar text of whole VEVENTs, and remind lines).
void WriteCalendars(const std::filesystem::path& dir, const std::string& name, int events,
                    std::optional<ravenox::TDateTime> first_day = std::nullopt,
                    const std::string& extra_ics = {}, const std::string& extra_rem = {});

}  // namespace bench
