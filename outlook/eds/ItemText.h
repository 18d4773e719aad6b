// An item of the desktop's calendar as it is kept: one VCALENDAR text holding the item (a VEVENT
// or VTODO), its changed occurrences, and the definitions of any zone it names that the system
// does not know. Made here, and read again here when the item changes.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace outlook::eds {

// The text of an item made of `zones` (VTIMEZONE texts) and `parts` (their texts, each ended by a
// line break), in that order.
std::string ItemText(const std::vector<const std::string*>& zones,
                     const std::vector<std::pair<std::string, std::string>>& parts);
// Its parts (verbatim) and the TZIDs of the zone definitions it carries.
void Split(const std::string& text, std::vector<std::string>& parts,
           std::vector<std::string>& zones);
// Its UID (the first UID property, unfolded and unescaped).
std::string UidOf(const std::string& text);
// The RECURRENCE-ID of a part as the service writes it in its ids ("" for the item itself).
std::string RidOf(const std::string& part);

}  // namespace outlook::eds
