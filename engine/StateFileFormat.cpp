#include "engine/StateFileFormat.h"

#include <cmath>
#include <cstring>

namespace ravenox::engine {
namespace {

// Fields are written one by one in a fixed byte order, never as a memory image, so the files are
// the same on every compiler and processor.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}
  void Int32(int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>(u >> (8 * i)));
  }
  void Date(TDateTime t) {
    const double d = t.Value();
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>(bits >> (8 * i)));
  }
  void Bool(bool b) { out_.push_back(b ? 1 : 0); }
  void Text(const std::string& s) {
    const std::string text = RecordText(s);
    out_.push_back(static_cast<char>(text.size()));
    out_ += text;
    out_.append(kMaxRecordText - text.size(), '\0');
  }

 private:
  std::string& out_;
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
std::string EncodeList(const TSortedList<Record>& list, std::size_t size) {
  std::string out;
  out.reserve(4 + size * static_cast<std::size_t>(list.Count()));
  Writer w(out);
  w.Int32(kStateFileMarker);
  for (int i = 0; i < list.Count(); ++i) Encode(w, list[i]);
  return out;
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

std::string EncodeStateFile(const TNotifyList& list) {
  return EncodeList(list, kNotifyRecordSize);
}
std::string EncodeStateFile(const TTaskList& list) {
  return EncodeList(list, kTaskRecordSize);
}
std::string EncodeStateFile(const TEmailList& list) {
  return EncodeList(list, kEmailRecordSize);
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
