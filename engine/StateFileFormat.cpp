#include "engine/StateFileFormat.h"

#include <cmath>
#include <cstring>

namespace ravenox::engine {
namespace {

// Fields are written one by one in a fixed byte order, never as a memory image, so the files are
// the same on every compiler and processor. A list of a few hundred records is encoded at every
// pass: the bytes go straight into the output, with no string made per record.
class Writer {
 public:
  // Without texts, the writer leaves each text out.
  explicit Writer(std::string& out, bool texts = true) : out_(out), texts_(texts) {}
  void Int32(int32_t v) { Little(static_cast<uint32_t>(v), 4); }
  void Date(TDateTime t) {
    const double d = t.Value();
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    Little(bits, 8);
  }
  void Bool(bool b) { out_.push_back(b ? 1 : 0); }
  void Text(const std::string& s) {
    if (!texts_) return;
    const std::size_t length = CutUtf8Length(s, kMaxRecordText);
    out_.push_back(static_cast<char>(length));
    out_.append(s, 0, length);
    out_.append(kMaxRecordText - length, '\0');
  }

 private:
  void Little(uint64_t v, int bytes) {
    char b[8];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<char>(v >> (8 * i));
    out_.append(b, static_cast<std::size_t>(bytes));
  }
  std::string& out_;
  bool texts_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  std::size_t Position() const { return pos_; }
  std::size_t Left() const { return in_.size() - pos_; }
  int32_t Int32() {
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) u = u << 8 | Byte(pos_ + static_cast<std::size_t>(i));
    pos_ += 4;
    return static_cast<int32_t>(u);
  }
  TDateTime Date() {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | Byte(pos_ + static_cast<std::size_t>(i));
    pos_ += 8;
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  bool Bool() { return Byte(pos_++) != 0; }
  std::string Text() {
    const std::size_t length = Byte(pos_);
    std::string s(in_.substr(pos_ + 1, length));
    pos_ += 1 + kMaxRecordText;
    return s;
  }

 private:
  uint8_t Byte(std::size_t at) const { return static_cast<uint8_t>(in_[at]); }
  std::string_view in_;
  std::size_t pos_ = 0;
};

void Encode(Writer& w, const TEventItem& r) {
  w.Text(r.Text);
  w.Date(r.StartTime);
  w.Date(r.NotifyTime);
  w.Bool(r.Notified);
}

void Encode(Writer& w, const TTaskEvent& r) {
  w.Text(r.Text);
  w.Date(r.StartDate);
  w.Date(r.DueDay);
  w.Date(r.NextReminder);
  w.Date(r.PreNotifyDay);
  w.Date(r.EventDate);
  w.Bool(r.Notified);
  w.Bool(r.PreNotified);
  w.Date(r.LastNotified);
  w.Bool(r.Complete);
}

void Encode(Writer& w, const TEmailItem& r) {
  w.Text(r.Text);
  w.Date(r.FirstSeen);
}

void Decode(Reader& r, TEventItem& e) {
  e.Text = r.Text();
  e.StartTime = r.Date();
  e.NotifyTime = r.Date();
  e.Notified = r.Bool();
}

void Decode(Reader& r, TTaskEvent& t) {
  t.Text = r.Text();
  t.StartDate = r.Date();
  t.DueDay = r.Date();
  t.NextReminder = r.Date();
  t.PreNotifyDay = r.Date();
  t.EventDate = r.Date();
  t.Notified = r.Bool();
  t.PreNotified = r.Bool();
  t.LastNotified = r.Date();
  t.Complete = r.Bool();
}

void Decode(Reader& r, TEmailItem& m) {
  m.Text = r.Text();
  m.FirstSeen = r.Date();
}

template <typename Record>
void EncodeList(const TSortedList<Record>& list, std::size_t size, std::string& out) {
  out.clear();
  out.reserve(4 + size * static_cast<std::size_t>(list.Count()));
  Writer w(out);
  w.Int32(kStateFileMarker);
  for (int i = 0; i < list.Count(); ++i) Encode(w, list[i]);
}

template <typename Record>
void EncodeFields(const TSortedList<Record>& list, std::string& out) {
  out.clear();
  Writer w(out, /*texts=*/false);
  for (int i = 0; i < list.Count(); ++i) Encode(w, list[i]);
}

template <typename Record>
DecodeResult DecodeList(std::string_view bytes, TSortedList<Record>& list, std::size_t size) {
  DecodeResult result;
  Reader r(bytes);
  if (r.Left() < 4 || r.Int32() != kStateFileMarker) return result;
  result.marker_ok = true;
  while (r.Left() > 0) {
    if (r.Left() < size) {
      result.cut = true;
      result.cut_offset = r.Position();
      break;
    }
    auto record = std::make_unique<Record>();
    Decode(r, *record);
    ++result.records;
    list.Add(std::move(record));
  }
  return result;
}

}  // namespace

std::string EncodeStateFile(const FirstChecks& checks) {
  std::string out;
  Writer w(out);
  w.Int32(kStateFileMarker);
  w.Date(checks.morning);
  w.Date(checks.evening);
  return out;
}

DecodeResult DecodeStateFile(std::string_view bytes, FirstChecks& checks) {
  DecodeResult result;
  Reader r(bytes);
  if (r.Left() < 4 || r.Int32() != kStateFileMarker) return result;
  result.marker_ok = true;
  if (bytes.size() != kFirstFileSize) {
    result.cut = true;
    result.cut_offset = 4;
    return result;
  }
  auto day = [](TDateTime t) {
    const double v = t.Value();
    return std::isfinite(v) && v >= 0.0 && v < 2958466.0 ? t : TDateTime(0.0);
  };
  checks.morning = day(r.Date());
  checks.evening = day(r.Date());
  result.records = 1;
  return result;
}

void EncodeFieldsBesideTexts(const TNotifyList& list, std::string& out) {
  EncodeFields(list, out);
}
void EncodeFieldsBesideTexts(const TTaskList& list, std::string& out) {
  EncodeFields(list, out);
}
void EncodeFieldsBesideTexts(const TEmailList& list, std::string& out) {
  EncodeFields(list, out);
}
void EncodeStateFile(const TNotifyList& list, std::string& out) {
  EncodeList(list, kNotifyRecordSize, out);
}
void EncodeStateFile(const TTaskList& list, std::string& out) {
  EncodeList(list, kTaskRecordSize, out);
}
void EncodeStateFile(const TEmailList& list, std::string& out) {
  EncodeList(list, kEmailRecordSize, out);
}
std::string EncodeStateFile(const TNotifyList& list) {
  std::string out;
  EncodeStateFile(list, out);
  return out;
}
std::string EncodeStateFile(const TTaskList& list) {
  std::string out;
  EncodeStateFile(list, out);
  return out;
}
std::string EncodeStateFile(const TEmailList& list) {
  std::string out;
  EncodeStateFile(list, out);
  return out;
}

DecodeResult DecodeStateFile(std::string_view bytes, TNotifyList& list) {
  return DecodeList(bytes, list, kNotifyRecordSize);
}
DecodeResult DecodeStateFile(std::string_view bytes, TTaskList& list) {
  return DecodeList(bytes, list, kTaskRecordSize);
}
DecodeResult DecodeStateFile(std::string_view bytes, TEmailList& list) {
  return DecodeList(bytes, list, kEmailRecordSize);
}

}  // namespace ravenox::engine
