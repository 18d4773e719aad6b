#include "platform/RegistryFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <system_error>

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

namespace ravenox::platform {
namespace {

constexpr std::string_view kRootPrefix = "HKEY_CURRENT_USER\\";
// Far more than any settings file needs.
constexpr std::size_t kMaxFileSize = 16u << 20;

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

[[noreturn]] void ParseError(std::size_t line, const std::string& what) {
  throw RegistryError("line " + std::to_string(line) + ": " + what);
}

// Reads a quoted text starting at s[pos] == '"'; leaves pos after the closing quote.
std::string ReadQuoted(const std::string& s, std::size_t& pos, std::size_t line) {
  std::string out;
  ++pos;
  while (pos < s.size()) {
    const char c = s[pos++];
    if (c == '"') return out;
    if (c == '\\') {
      if (pos >= s.size()) break;
      const char e = s[pos++];
      if (e != '\\' && e != '"') ParseError(line, std::string("unknown escape \\") + e);
      out.push_back(e);
    } else {
      out.push_back(c);
    }
  }
  ParseError(line, "unterminated quoted text");
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

std::vector<uint8_t> ParseHexBytes(const std::string& text, std::size_t line) {
  std::vector<uint8_t> out;
  std::size_t pos = 0;
  const std::string t = Trim(text);
  if (t.empty()) return out;
  while (true) {
    while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
    if (pos + 2 > t.size()) ParseError(line, "bad hex byte list");
    const int hi = HexDigit(t[pos]), lo = HexDigit(t[pos + 1]);
    if (hi < 0 || lo < 0) ParseError(line, "bad hex byte list");
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    pos += 2;
    while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
    if (pos == t.size()) break;
    if (t[pos] != ',') ParseError(line, "bad hex byte list");
    ++pos;
  }
  return out;
}

std::string Escape(std::string_view s) {
  std::string out;
  for (const char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

bool PrintableString(const std::vector<uint8_t>& data) {
  for (const uint8_t b : data) {
    if (b < 0x20 || b == 0x7F) return false;
  }
  return true;
}

void PrintHex(std::string& out, std::string head, const std::vector<uint8_t>& data) {
  std::string line = std::move(head);
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < data.size(); ++i) {
    line.push_back(kDigits[data[i] >> 4]);
    line.push_back(kDigits[data[i] & 15]);
    if (i + 1 < data.size()) {
      line.push_back(',');
      if (line.size() > 76) {
        out += line + "\\\n";
        line = "  ";
      }
    }
  }
  out += line + "\n";
}

}  // namespace

std::vector<RegKeyData> ParseRegFile(const std::string& input) {
  std::string text = input;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::vector<std::string> lines;
  {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string l = text.substr(start, end - start);
      if (!l.empty() && l.back() == '\r') l.pop_back();
      lines.push_back(std::move(l));
      start = end + 1;
    }
  }

  std::vector<RegKeyData> keys;
  bool header = false;
  bool skipping_key = false;  // inside a "[-key]" deletion block
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::size_t line_no = i + 1;
    const std::string line = Trim(lines[i]);
    if (line.empty() || line[0] == ';') continue;
    if (!header) {
      if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00")
        ParseError(line_no, "missing REGEDIT4 header");
      header = true;
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']') ParseError(line_no, "unterminated key name");
      std::string name = line.substr(1, line.size() - 2);
      skipping_key = !name.empty() && name[0] == '-';
      if (skipping_key) continue;
      const bool under_user =
          name.size() >= kRootPrefix.size() &&
          EqualNoCase(std::string_view(name).substr(0, kRootPrefix.size()), kRootPrefix);
      if (under_user) name.erase(0, kRootPrefix.size());
      keys.push_back({name, {}, under_user});
      continue;
    }
    if (skipping_key) continue;
    if (keys.empty()) ParseError(line_no, "value outside any key");

    RegValue value;
    std::size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      value.name = ReadQuoted(line, pos, line_no);
    } else {
      ParseError(line_no, "expected a value name");
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') ParseError(line_no, "expected '='");
    ++pos;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const std::string rest = line.substr(pos);

    if (!rest.empty() && rest[0] == '"') {
      std::size_t p = 0;
      const std::string s = ReadQuoted(rest, p, line_no);
      if (!Trim(std::string_view(rest).substr(p)).empty()) ParseError(line_no, "text after value");
      value.type = kRegSz;
      value.data.assign(s.begin(), s.end());
    } else if (rest == "-") {
      continue;  // a deletion entry: nothing to keep
    } else if (rest.rfind("dword:", 0) == 0) {
      const std::string digits = Trim(std::string_view(rest).substr(6));
      if (digits.empty() || digits.size() > 8) ParseError(line_no, "bad dword");
      uint32_t v = 0;
      for (const char c : digits) {
        const int d = HexDigit(c);
        if (d < 0) ParseError(line_no, "bad dword");
        v = v * 16 + static_cast<uint32_t>(d);
      }
      value.type = kRegDword;
      for (int b = 0; b < 4; ++b) value.data.push_back(static_cast<uint8_t>(v >> (8 * b)));
    } else if (rest.rfind("hex", 0) == 0) {
      std::size_t p = 3;
      value.type = kRegBinary;
      if (p < rest.size() && rest[p] == '(') {
        const std::size_t close = rest.find(')', p);
        if (close == std::string::npos || close == p + 1) ParseError(line_no, "bad hex type");
        uint32_t type = 0;
        for (std::size_t k = p + 1; k < close; ++k) {
          const int d = HexDigit(rest[k]);
          if (d < 0 || k - p > 8) ParseError(line_no, "bad hex type");
          type = type * 16 + static_cast<uint32_t>(d);
        }
        value.type = type;
        p = close + 1;
      }
      if (p >= rest.size() || rest[p] != ':') ParseError(line_no, "expected ':' after hex");
      std::string bytes = rest.substr(p + 1);
      // Long lists continue on the next lines after a trailing backslash.
      while (!bytes.empty() && bytes.back() == '\\') {
        bytes.pop_back();
        if (++i >= lines.size()) ParseError(line_no, "continuation at end of file");
        bytes += Trim(lines[i]);
      }
      value.data = ParseHexBytes(bytes, line_no);
      // Strings written as hex carry their terminating zero; keep them without it.
      if ((value.type == kRegSz || value.type == kRegExpandSz) && !value.data.empty() &&
          value.data.back() == 0)
        value.data.pop_back();
    } else {
      ParseError(line_no, "unknown value form");
    }

    auto& values = keys.back().values;
    bool replaced = false;
    for (auto& v : values) {
      if (EqualNoCase(v.name, value.name)) {
        v = value;
        replaced = true;
        break;
      }
    }
    if (!replaced) values.push_back(std::move(value));
  }
  if (!header) ParseError(1, "missing REGEDIT4 header");
  return keys;
}

std::string PrintRegFile(const std::vector<RegKeyData>& keys) {
  std::string out = "REGEDIT4\n";
  for (const auto& key : keys) {
    out += "\n[";
    if (key.under_user) out += kRootPrefix;
    out += key.path + "]\n";
    for (const auto& v : key.values) {
      const std::string name = v.name.empty() ? "@" : "\"" + Escape(v.name) + "\"";
      if (v.type == kRegSz && PrintableString(v.data)) {
        out += name + "=\"" + Escape(std::string(v.data.begin(), v.data.end())) + "\"\n";
      } else if (v.type == kRegDword && v.data.size() == 4) {
        const uint32_t d =
            static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
            static_cast<uint32_t>(v.data[2]) << 16 | static_cast<uint32_t>(v.data[3]) << 24;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", d);
        out += name + "=dword:" + buf + "\n";
      } else if (v.type == kRegBinary) {
        PrintHex(out, name + "=hex:", v.data);
      } else {
        std::vector<uint8_t> data = v.data;
        if (v.type == kRegSz || v.type == kRegExpandSz) data.push_back(0);
        char head[32];
        std::snprintf(head, sizeof head, "=hex(%x):", v.type);
        PrintHex(out, name + head, data);
      }
    }
  }
  return out;
}

namespace {

class FileKey final : public RegistryKey {
 public:
  // With `lock_fd` -1 the key is a snapshot for reading: every write throws.
  FileKey(std::filesystem::path file, int lock_fd, std::vector<RegKeyData> doc, std::size_t index)
      : file_(std::move(file)), lock_fd_(lock_fd), doc_(std::move(doc)), index_(index) {}
  ~FileKey() override {
    if (lock_fd_ >= 0) ::close(lock_fd_);  // closing drops the lock
  }
  FileKey(const FileKey&) = delete;
  FileKey& operator=(const FileKey&) = delete;

  ReadResult<std::string> ReadString(const std::string& name) override {
    ReadResult<std::string> r;
    const RegValue* v = Find(name);
    if (v == nullptr) return r;
    if (v->type != kRegSz && v->type != kRegExpandSz) {
      r.status = ReadStatus::kWrongType;
      return r;
    }
    r.status = ReadStatus::kOk;
    r.value.assign(v->data.begin(), v->data.end());
    return r;
  }

  ReadResult<uint32_t> ReadDword(const std::string& name) override {
    ReadResult<uint32_t> r;
    const RegValue* v = Find(name);
    if (v == nullptr) return r;
    if (v->type != kRegDword || v->data.size() != 4) {
      r.status = ReadStatus::kWrongType;
      return r;
    }
    r.status = ReadStatus::kOk;
    r.value = static_cast<uint32_t>(v->data[0]) | static_cast<uint32_t>(v->data[1]) << 8 |
              static_cast<uint32_t>(v->data[2]) << 16 | static_cast<uint32_t>(v->data[3]) << 24;
    return r;
  }

  ReadResult<std::vector<uint8_t>> ReadBinary(const std::string& name) override {
    ReadResult<std::vector<uint8_t>> r;
    const RegValue* v = Find(name);
    if (v == nullptr) return r;
    if (v->type != kRegBinary) {
      r.status = ReadStatus::kWrongType;
      return r;
    }
    r.status = ReadStatus::kOk;
    r.value = v->data;
    return r;
  }

  void WriteString(const std::string& name, const std::string& value) override {
    Write(name, kRegSz, std::vector<uint8_t>(value.begin(), value.end()));
  }
  void WriteDword(const std::string& name, uint32_t value) override {
    Write(name, kRegDword,
          {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
           static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
  }
  void WriteBinary(const std::string& name, const std::vector<uint8_t>& value) override {
    Write(name, kRegBinary, value);
  }
  void BeginBatch() override {
    if (batch_depth_++ == 0) batch_before_ = doc_;
  }
  void CommitBatch() override {
    if (batch_depth_ == 0 || --batch_depth_ > 0) return;
    Store(batch_before_);
  }

 private:
  const RegValue* Find(const std::string& name) const {
    for (const auto& v : doc_[index_].values) {
      if (EqualNoCase(v.name, name)) return &v;
    }
    return nullptr;
  }

  void Write(const std::string& name, uint32_t type, std::vector<uint8_t> data) {
    if (lock_fd_ < 0) throw RegistryError("The settings are open for reading only");
    const std::vector<RegKeyData> before = doc_;
    auto& values = doc_[index_].values;
    bool found = false;
    for (auto& v : values) {
      if (EqualNoCase(v.name, name)) {
        v.type = type;
        v.data = std::move(data);
        found = true;
        break;
      }
    }
    if (!found) values.push_back({name, type, std::move(data)});
    if (batch_depth_ == 0) Store(before);
  }

  // Replaces the file with the document; on failure memory goes back to `before`.
  void Store(const std::vector<RegKeyData>& before) {
    if (lock_fd_ < 0) throw RegistryError("The settings are open for reading only");
    try {
      WriteFileAtomically(file_, PrintRegFile(doc_), 0600);
    } catch (const std::exception& e) {
      doc_ = before;
      throw RegistryError(e.what());
    }
  }

  std::filesystem::path file_;
  int lock_fd_;
  std::vector<RegKeyData> doc_;
  std::size_t index_;
  int batch_depth_ = 0;
  std::vector<RegKeyData> batch_before_;
};

// The file's text; false when there is none. A file that is there but cannot be read
// (permissions, a FIFO, an I/O error) is an error, so that nothing takes it for a first run and
// saves over it.
bool ReadSettingsText(const std::filesystem::path& file, std::string& text) {
  try {
    return ReadRegularFile(file, kMaxFileSize, text);
  } catch (const std::exception& e) {
    throw RegistryError(std::string("The settings file cannot be read: ") + e.what());
  }
}

// The place of `path` in the document, added empty when it is not there.
std::size_t KeyIndex(std::vector<RegKeyData>& doc, const std::string& path) {
  for (std::size_t i = 0; i < doc.size(); ++i) {
    if (doc[i].under_user && EqualNoCase(doc[i].path, path)) return i;
  }
  doc.push_back({path, {}});
  return doc.size() - 1;
}

}  // namespace

RegistryFile::RegistryFile(std::filesystem::path file, Reporter reporter)
    : file_(std::move(file)), reporter_(std::move(reporter)) {
  if (!reporter_) {
    reporter_ = [](const std::string& text) { std::cerr << "Ravenox: " << text << std::endl; };
  }
}

std::filesystem::path RegistryFile::DefaultPath() {
  return XdgDir("XDG_CONFIG_HOME", ".config") / "Brindlemoor" / "Ravenox.reg";
}

std::unique_ptr<RegistryKey> RegistryFile::OpenKey(const std::string& path) {
  std::error_code ec;
  if (file_.has_parent_path()) {
    std::filesystem::create_directories(file_.parent_path(), ec);
    if (ec)
      throw RegistryError("Cannot create " + file_.parent_path().string() + ": " + ec.message());
  }
  const std::string lock_name = file_.string() + ".lock";
  const int lock_fd = ::open(lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd < 0) throw RegistryError("Cannot open " + lock_name + ": " + std::strerror(errno));
  while (::flock(lock_fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const std::string text = std::strerror(errno);
      ::close(lock_fd);
      throw RegistryError("Cannot lock " + lock_name + ": " + text);
    }
  }

  RemoveStaleTemporaries(file_);  // left by a copy killed while saving; we hold the lock now

  std::vector<RegKeyData> doc;
  std::string text;
  bool present = false;
  try {
    present = ReadSettingsText(file_, text);
  } catch (const RegistryError&) {
    ::close(lock_fd);
    throw;
  }
  if (present) {
    try {
      doc = ParseRegFile(text);
    } catch (const RegistryError& e) {
      // Never lose a damaged file silently: keep it aside for the user and start afresh.
      std::filesystem::path aside = file_.string() + ".corrupt";
      for (int n = 1; std::filesystem::exists(aside) && n < 1000; ++n)
        aside = file_.string() + ".corrupt." + std::to_string(n);
      std::filesystem::rename(file_, aside, ec);
      if (ec) {
        ::close(lock_fd);
        throw RegistryError("The settings file " + file_.string() + " could not be read (" +
                            e.what() + ") nor moved aside: " + ec.message());
      }
      reporter_("The settings file " + file_.string() + " could not be read (" + e.what() +
                "); it was moved to " + aside.string() + " and the settings start afresh.");
      doc.clear();
    }
  }

  const std::size_t index = KeyIndex(doc, path);
  return std::make_unique<FileKey>(file_, lock_fd, std::move(doc), index);
}

std::unique_ptr<RegistryKey> RegistrySnapshot::OpenKey(const std::string& path) {
  std::vector<RegKeyData> doc;
  std::string text;
  if (ReadSettingsText(file_, text)) doc = ParseRegFile(text);
  const std::size_t index = KeyIndex(doc, path);
  return std::make_unique<FileKey>(file_, -1, std::move(doc), index);
}

}  // namespace ravenox::platform
