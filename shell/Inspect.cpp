#include "shell/Inspect.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/StateFileFormat.h"

namespace ravenox::shell {
namespace {

using engine::DecodeResult;

constexpr const char* kUsage =
    "usage: ravenox-inspect state [--kind notify|task|email] FILE...\n"
    "Prints the records of NOTIFY.CLD, TASK.CLD or EMAIL.CLD, one line per record in list order.\n";

enum class Kind { kUnknown, kNotify, kTask, kEmail };

Kind KindFromName(std::string name) {
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name == "NOTIFY.CLD" || name == "NOTIFY") return Kind::kNotify;
  if (name == "TASK.CLD" || name == "TASK") return Kind::kTask;
  if (name == "EMAIL.CLD" || name == "EMAIL") return Kind::kEmail;
  return Kind::kUnknown;
}

std::size_t RecordSize(Kind kind) {
  switch (kind) {
    case Kind::kNotify:
      return engine::kNotifyRecordSize;
    case Kind::kTask:
      return engine::kTaskRecordSize;
    default:
      return engine::kEmailRecordSize;
  }
}

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

void Print(std::ostream& out, const std::string& prefix, const engine::TEventItem& r) {
  out << prefix << Date(r.StartTime) << '\t' << Date(r.NotifyTime) << '\t' << Bool(r.Notified)
      << '\t' << Text(r.Text) << '\n';
}

void Print(std::ostream& out, const std::string& prefix, const engine::TTaskEvent& r) {
  out << prefix << Date(r.StartDate) << '\t' << Date(r.DueDay) << '\t' << Date(r.NextReminder)
      << '\t' << Date(r.PreNotifyDay) << '\t' << Date(r.EventDate) << '\t' << Bool(r.Notified)
      << '\t' << Bool(r.PreNotified) << '\t' << Date(r.LastNotified) << '\t' << Bool(r.Complete)
      << '\t' << Text(r.Text) << '\n';
}

void Print(std::ostream& out, const std::string& prefix, const engine::TEmailItem& r) {
  out << prefix << Date(r.FirstSeen) << '\t' << Text(r.Text) << '\n';
}

template <typename List>
DecodeResult Show(const std::string& bytes, const std::string& prefix, std::ostream& out) {
  List list;
  const DecodeResult result = engine::DecodeStateFile(bytes, list);
  for (int i = 0; i < list.Count(); ++i) Print(out, prefix, list[i]);
  return result;
}

bool InspectFile(const std::string& file, Kind kind, bool prefix_lines, std::ostream& out,
                 std::ostream& err) {
  if (kind == Kind::kUnknown) kind = KindFromName(std::filesystem::path(file).filename().string());
  if (kind == Kind::kUnknown) {
    err << file << ": cannot tell which state file this is; name it with --kind\n";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    err << file << ": cannot read: " << std::strerror(errno) << '\n';
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string bytes = buffer.str();
  const std::string prefix = prefix_lines ? file + "\t" : "";

  DecodeResult result;
  switch (kind) {
    case Kind::kNotify:
      result = Show<engine::TNotifyList>(bytes, prefix, out);
      break;
    case Kind::kTask:
      result = Show<engine::TTaskList>(bytes, prefix, out);
      break;
    default:
      result = Show<engine::TEmailList>(bytes, prefix, out);
      break;
  }
  if (!result.marker_ok) {
    if (bytes.size() < 4) {
      err << file << ": byte 0: file of " << bytes.size() << " bytes has no marker\n";
    } else {
      int32_t marker = 0;
      for (int i = 3; i >= 0; --i)
        marker =
            static_cast<int32_t>(static_cast<uint32_t>(marker) << 8 |
                                 static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]));
      err << file << ": byte 0: marker " << marker << ", expected " << engine::kStateFileMarker
          << "; nothing read\n";
    }
    return false;
  }
  if (result.cut) {
    err << file << ": byte " << result.cut_offset << ": record cut short ("
        << bytes.size() - result.cut_offset << " of " << RecordSize(kind)
        << " bytes); the records before it were read\n";
    return false;
  }
  return true;
}

}  // namespace

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty() || args[0] != "state") {
    err << kUsage;
    return 2;
  }
  Kind kind = Kind::kUnknown;
  std::vector<std::string> files;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--kind" && i + 1 < args.size()) {
      kind = KindFromName(args[++i]);
      if (kind == Kind::kUnknown) {
        err << "ravenox-inspect: unknown kind '" << args[i] << "' (notify, task or email)\n";
        return 2;
      }
    } else if (args[i] == "--help" || args[i] == "-h") {
      out << kUsage;
      return 0;
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.empty()) {
    err << kUsage;
    return 2;
  }
  bool ok = true;
  for (const auto& file : files) ok = InspectFile(file, kind, files.size() > 1, out, err) && ok;
  return ok ? 0 : 1;
}

}  // namespace ravenox::shell
