#include "tools/support/SupportLines.h"

#include <cmath>
#include <cstdio>

namespace ravenox::shell::inspect {

const char* const kUsage =
    "usage: ravenox-inspect state [--kind notify|task|email|first] [FILE...]\n"
    "       ravenox-inspect calendar|tasks|inbox [--profile FILE] [--at \"YYYY-MM-DD HH:MM\"]\n"
    "       ravenox-inspect sources\n"
    "       ravenox-inspect away\n"
    "       ravenox-inspect outbox [--profile FILE]\n"
    "       ravenox-inspect settings [--file FILE]\n"
    "Prints the records of NOTIFY.CLD, TASK.CLD, EMAIL.CLD or FIRST.CLD (without FILE: those of\n"
    "the program's data folder), one line per record in list order,\n"
    "or what the engine sees of the calendar, the tasks or the inbox, one line per item, or the\n"
    "desktop's calendars and task lists as a profile names them (eds:UID), or how\n"
    "it tells whether you are at the computer and what it finds now, or the settings as the\n"
    "program reads them and the address it texts.\n";

std::string Date(TDateTime t) {
  const double v = t.Value();
  char buf[64];
  if (v == 0.0) return "0";
  if (!std::isfinite(v) || v < -693593.0 || v > 2958465.0) {  // outside years 1..9999
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
  }
  const DateParts p = DecodeDateTime(t);
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                p.minute, p.second);
  return buf;
}

const char* Bool(bool b) {
  return b ? "1" : "0";
}

// Texts come from other people's meetings and mails: control characters are shown escaped, so a
// record is always exactly one line.
std::string Text(const std::string& s) {
  std::string out;
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace ravenox::shell::inspect
