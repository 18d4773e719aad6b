// The inspector's rooms share how a line is written: dates, flags, and other people's texts
// (escaped, so that a record is always one line); and its usage text.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "base/DateTime.h"

namespace ravenox::shell::inspect {

extern const char* const kUsage;

std::string Date(TDateTime t);
const char* Bool(bool b);
std::string Text(const std::string& s);

// Set by the program before a run that ends the process (`LeaveStoreToExit`).
extern bool leave_store_to_exit;

// `ravenox-inspect calendar|tasks|inbox ...`: what the engine sees of the store, one line per
// item (StoreListing.cpp).
int InspectStore(const std::string& what, const std::vector<std::string>& args, std::ostream& out,
                 std::ostream& err);

}  // namespace ravenox::shell::inspect
