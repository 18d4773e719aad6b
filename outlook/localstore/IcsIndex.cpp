// How a calendar file is read and indexed: one pass over its lines finds where each item and
// zone definition lies, and what its start line and rule say plainly; nothing is parsed.
#include "outlook/localstore/IcsStore.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "platform/AtomicFile.h"
#include "platform/Memory.h"

namespace outlook::localstore {

namespace {

// A date or date-time value as written ("20240603", "20240603T090000", "...Z"), read as a wall
// clock without its zone; none when it is not one.
std::optional<double> RawWallClock(std::string_view v) {
  auto digits = [&](std::size_t at, std::size_t n, int& out) {
    if (v.size() < at + n) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (v[i] < '0' || v[i] > '9') return false;
      out = out * 10 + (v[i] - '0');
    }
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  if (!digits(0, 4, y) || !digits(4, 2, mo) || !digits(6, 2, d)) return std::nullopt;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > ravenox::DaysInMonth(y, mo)) return std::nullopt;
  if (v.size() > 8) {
    if (v[8] != 'T' || !digits(9, 2, h) || !digits(11, 2, mi) || !digits(13, 2, sec) || h > 23 ||
        mi > 59 || sec > 60)
      return std::nullopt;
  }
  return ravenox::EncodeDate(y, mo, d).Value() + (h * 3600 + mi * 60 + sec) / 86400.0;
}

// The value of a content line: after the first colon outside quoted parameter values.
std::string_view LineValue(std::string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ':' && !quoted) return line.substr(i + 1);
  }
  return {};
}

}  // namespace

void IcsFile::Refresh(int folder) {
  if (memory_ != nullptr) {
    // Its text changes only by a new object (or by SkipRecurrence, which indexes it again).
    if (generation_ == 0) Index(-1);
    return;
  }
  auto fail = [this](const std::string& why) {
    items_.clear();
    stamp_ = Stamp{};
    throw std::runtime_error("Cannot read " + path_ + ": " + why);
  };
  struct stat st {};
  // A file read before costs one stat while it stays as it was; a new one is opened at once (a
  // vdir's first look opens thousands).
  if (stamp_.size >= 0) {
    if (::stat(path_.c_str(), &st) != 0) fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) fail("not a regular file");
    if (Stamp{st.st_size, st.st_mtim, st.st_ino} == stamp_) return;
  }
  // Non-blocking, so that a FIFO put in its place does not wait for a writer; that makes no
  // difference to a regular file.
  // In a folder already open, by its name alone: the path is not walked again for each file.
  const std::size_t slash = path_.rfind('/');
  const int fd = folder >= 0 && slash != std::string::npos
                     ? ::openat(folder, path_.c_str() + slash + 1,
                                O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                     : ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) fail(std::strerror(errno));
  // A file read once, met in a folder's listing as a regular file, is read without asking after
  // it (the inspector through a vdir opens thousands). It has no stamp then: a later look reads it
  // again.
  if (keep_text_ && folder >= 0) {
    stamp_ = Stamp{};
  } else {
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const int error = errno;
      const bool regular = S_ISREG(st.st_mode);
      ::close(fd);
      fail(regular ? std::strerror(error) : "not a regular file");
    }
    stamp_ = Stamp{st.st_size, st.st_mtim, st.st_ino};
  }
  Index(fd);
}

std::string IcsFile::ReadAll() const {
  std::string bytes;
  if (!ravenox::platform::ReadRegularFile(path_, IcsFile::kMaxFileSize, bytes))
    throw std::runtime_error("Cannot read " + path_ + ": " + std::strerror(ENOENT));
  return bytes;
}

namespace {

// The lines of a calendar, from memory or from a file read through a window: indexing a large
// calendar then needs little more memory than what is kept of it. A line is valid until the next.
class LineSource {
 public:
  LineSource(const char* data, std::size_t length) : data_(data), end_(length) {}
  // `size`: what the file held when last looked at; a small file gets a small window (a vdir
  // holds thousands of them).
  LineSource(int fd, const std::string& path, off_t size)
      : fd_(fd), path_(&path), size_(static_cast<std::size_t>(std::max<off_t>(size, 0))) {
    constexpr off_t kLeast = 4096, kMost = off_t{1} << 20;
    window_.swap(Spare());
    window_.resize(static_cast<std::size_t>(std::clamp<off_t>(size + 1, kLeast, kMost)));
    data_ = window_.data();
  }
  ~LineSource() {
    if (fd_ >= 0) ::close(fd_);
    // The next small file of this thread reads through the same window.
    if (window_.capacity() <= kKeptWindow) Spare().swap(window_);
  }
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;

  // The whole file, when it was read into the window in one: empty otherwise.
  std::string_view Whole() const {
    return fd_ >= 0 && done_ && base_ == 0 ? std::string_view(data_, end_) : std::string_view();
  }

  // The first `n` bytes, read if need be; null when the file is shorter.
  const char* Peek(std::size_t n) {
    while (end_ - start_ < n && !eof()) Fill();
    return end_ - start_ >= n ? data_ + start_ : nullptr;
  }

  // The next line without its line feed, where it starts in the file and where the next one does.
  bool Next(const char*& line, std::size_t& length, std::size_t& offset, std::size_t& next) {
    while (true) {
      const void* nl = std::memchr(data_ + start_, '\n', end_ - start_);
      if (nl != nullptr || (eof() && start_ < end_)) {
        line = data_ + start_;
        length = nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - line)
                               : end_ - start_;
        offset = base_ + start_;
        start_ += length + (nl != nullptr ? 1 : 0);
        next = base_ + start_;
        return true;
      }
      if (eof()) return false;
      Fill();
    }
  }

 private:
  bool eof() const { return fd_ < 0 || done_; }
  void Fill() {
    // Keep the unread part, at the front; a line longer than the window widens it.
    std::memmove(window_.data(), window_.data() + start_, end_ - start_);
    base_ += start_;
    end_ -= start_;
    start_ = 0;
    if (end_ == window_.size()) window_.resize(window_.size() * 2);
    data_ = window_.data();
    while (true) {
      const ssize_t r = ::read(fd_, window_.data() + end_, window_.size() - end_);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) throw std::runtime_error("Cannot read " + *path_ + ": " + std::strerror(errno));
      if (r == 0) {
        done_ = true;
      } else {
        // A short read up to the size the file had when opened is its end: no read more to
        // hear so (a vdir's file is read in one).
        if (static_cast<std::size_t>(r) < window_.size() - end_ &&
            base_ + end_ + static_cast<std::size_t>(r) >= size_)
          done_ = true;
        end_ += static_cast<std::size_t>(r);
        if (base_ + end_ > IcsFile::kMaxFileSize) {
          throw std::system_error(
              EFBIG, std::generic_category(),
              "Larger than " + std::to_string(IcsFile::kMaxFileSize) + " bytes: " + *path_);
        }
      }
      return;
    }
  }

  static constexpr std::size_t kKeptWindow = 64 * 1024;
  static std::string& Spare() {
    thread_local std::string spare;
    return spare;
  }

  int fd_ = -1;
  const std::string* path_ = nullptr;
  std::size_t size_ = 0;  // of the file when it was opened
  std::string window_;
  const char* data_ = nullptr;
  std::size_t start_ = 0, end_ = 0, base_ = 0;
  bool done_ = false;
};

// A copy of `bytes` kept until the process ends, or an empty view once the process has kept its
// share. The files a program reads once and whole (the inspector through a vdir: thousands of
// small ones) are kept side by side in large blocks, each thread in its own: a heap block for each
// cost a page fault every few files, as much as reading the file.
std::string_view KeepForLife(std::string_view bytes) {
  constexpr std::size_t kBlock = std::size_t{2} << 20, kInAll = std::size_t{256} << 20;
  static std::atomic<std::size_t> in_all{0};
  thread_local char* free_at = nullptr;
  thread_local std::size_t left = 0;
  if (bytes.empty() || bytes.size() > kBlock) return {};
  if (bytes.size() > left) {
    if (in_all.fetch_add(kBlock) + kBlock > kInAll) return {};
    free_at = static_cast<char*>(ravenox::platform::MapForLife(kBlock));
    left = free_at != nullptr ? kBlock : 0;
    if (free_at == nullptr) return {};
  }
  std::memcpy(free_at, bytes.data(), bytes.size());
  const std::string_view kept(free_at, bytes.size());
  free_at += bytes.size();
  left -= bytes.size();
  return kept;
}

}  // namespace

void IcsFile::Index(int fd) {
  Forget();

  // The bytes are read through a window once for the index, and let go after it (a mapping
  // would fault if another program cut the file short meanwhile). A file stored as UTF-16 is read
  // whole and kept, converted to UTF-8.
  std::optional<LineSource> source;
  if (fd < 0 && memory_ != nullptr) {
    source.emplace(memory_->data(), memory_->size());
  } else {
    source.emplace(fd, path_, stamp_.size);
  }
  const char* bom = memory_ != nullptr ? nullptr : source->Peek(2);
  const bool utf16 = bom != nullptr && ((bom[0] == '\xFF' && bom[1] == '\xFE') ||
                                        (bom[0] == '\xFE' && bom[1] == '\xFF'));
  if (utf16) {
    source.reset();
    const std::string bytes = ReadAll();
    const char* from = bom[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE";
    gsize written = 0;
    gchar* utf8 = bytes.size() >= 2
                      ? g_convert(bytes.data() + 2, static_cast<gssize>(bytes.size() - 2), "UTF-8",
                                  from, nullptr, &written, nullptr)
                      : nullptr;
    converted_ = utf8 != nullptr ? std::string(utf8, written) : std::string();
    g_free(utf8);
    // An empty conversion still marks the file as converted: blocks come from memory.
    if (converted_.empty()) converted_.assign(1, '\n');
    source.emplace(converted_.data(), converted_.size());
  }

  // One pass over the lines. Names and values are views into the bytes: a large calendar costs
  // no allocation per line, and most lines are passed over on their first letter.
  const std::string_view wanted = kind_ == ComponentKind::kEvent ? "VEVENT" : "VTODO";
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  // `text` starts with `prefix` (given in capitals), whatever the letter case of `text`.
  auto starts = [&](const char* text, std::size_t n, std::string_view prefix) {
    if (n < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
      if (upper(text[i]) != prefix[i]) return false;
    }
    return true;
  };
  auto same = [&](std::string_view a, std::string_view capitals) {
    return a.size() == capitals.size() && starts(a.data(), a.size(), capitals);
  };
  auto name_of = [](const char* p, std::size_t n) {
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
    return std::string_view(p, n);
  };
  auto equal_names = [&](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
  };
  // The open components, and how many times each name (in capitals) is open among them: a stray
  // END is known at once instead of by a search of the whole stack, which made a file of
  // unmatched lines quadratic. Both are the thread's own and kept from file to file, so that
  // a vdir's thousands of small files cost no allocation for them.
  thread_local std::vector<std::string> stack;
  thread_local std::unordered_map<std::string, std::size_t> open_names;
  stack.clear();
  for (auto& [name, count] : open_names) count = 0;
  auto capitals = [&](std::string_view name) {
    std::string key(name);
    for (char& c : key) c = upper(c);
    return key;
  };
  auto at_top = [&] { return stack.empty() || (stack.size() == 1 && same(stack[0], "VCALENDAR")); };
  struct Open {
    std::size_t offset = 0;
    bool is_item = false;
    bool is_override = false;
    std::string uid, tzid;
    // The start and the rule's end as written, for a look at the view without a parse.
    std::optional<double> start, until;
    int starts = 0, rules = 0;
    bool other_dates = false, folded = false;
  };
  std::optional<Open> open;
  bool own_level = false;  // the innermost open component is the block itself, not an alarm
  // A block found, kept small: a calendar of a million events holds a million of these at once.
  // Its UID lies in `uids`.
  struct Found {
    uint64_t offset = 0, length = 0;
    double start = 0.0;
    uint32_t uid_at = 0, uid_length = 0;
    float until = 0.0F;
    uint8_t quick = 0;
    bool is_override = false;
    std::string_view Uid(const std::string& uids) const {
      return {uids.data() + uid_at, uid_length};
    }
  };
  thread_local std::string uids;
  uids.clear();
  // What the start line and the rule tell, when they tell it plainly.
  auto quick_look = [](const Open& o, Found& f) {
    if (!o.start || o.starts != 1 || o.rules > 1 || o.other_dates || o.folded) return;
    f.quick = kQuickStart;
    f.start = *o.start;
    if (o.rules == 0) return;
    f.quick |= kQuickSeries;
    // A whole day on: an end given as a date takes in that day's occurrences.
    if (o.until) {
      f.quick |= kQuickEnds;
      f.until = static_cast<float>(*o.until + 1.0);
    }
  };
  const Open* last_property = nullptr;  // the block whose start or rule the last line was
  thread_local std::vector<Found> found;
  found.clear();
  // What a large or strange file made of them is let go after it.
  struct LetGo {
    ~LetGo() {
      constexpr std::size_t kKept = 64;
      if (stack.capacity() > kKept) std::vector<std::string>().swap(stack);
      if (open_names.size() > kKept) open_names = {};
      if (found.capacity() > kKept) std::vector<Found>().swap(found);
      if (uids.capacity() > kKept * 64) std::string().swap(uids);
    }
  } let_go;
  bool any_override = false;

  const char* line = nullptr;
  std::size_t n = 0, line_offset = 0, next = 0;
  while (source->Next(line, n, line_offset, next)) {
    if (n > 0 && line[n - 1] == '\r') --n;
    if (n == 0) continue;
    // A start or rule folded over several lines is left to the parse.
    if (line[0] == ' ' || line[0] == '\t') {
      if (last_property != nullptr && open) open->folded = true;
      continue;
    }
    last_property = nullptr;

    switch (upper(line[0])) {
      case 'B': {
        if (!starts(line, n, "BEGIN:")) break;
        const std::string_view name = name_of(line + 6, n - 6);
        if (at_top() && !open && (same(name, wanted) || same(name, "VTIMEZONE"))) {
          open.emplace();
          open->offset = line_offset;
          open->is_item = same(name, wanted);
        }
        stack.emplace_back(name);
        ++open_names[capitals(name)];
        own_level = open && stack.size() >= 1 && (same(name, wanted) || same(name, "VTIMEZONE"));
        break;
      }
      case 'E': {
        if (!starts(line, n, "END:")) break;
        const std::string_view name = name_of(line + 4, n - 4);
        // Close up to the matching BEGIN; a stray END is ignored.
        const auto count = open_names.find(capitals(name));
        if (count == open_names.end() || count->second == 0) break;
        while (true) {
          const std::string top = std::move(stack.back());
          stack.pop_back();
          --open_names[capitals(top)];
          if (equal_names(top, name)) break;
        }
        own_level = open && !stack.empty() &&
                    (same(stack.back(), wanted) || same(stack.back(), "VTIMEZONE"));
        if (open && at_top()) {
          const std::size_t block_length = next - open->offset;
          if (open->is_item) {
            Found& f = found.emplace_back();
            f.offset = open->offset;
            f.length = block_length;
            f.is_override = open->is_override;
            if (uids.size() + open->uid.size() <= std::numeric_limits<uint32_t>::max()) {
              f.uid_at = static_cast<uint32_t>(uids.size());
              f.uid_length = static_cast<uint32_t>(open->uid.size());
              uids += open->uid;
            }
            quick_look(*open, f);
            any_override = any_override || open->is_override;
          } else if (!open->tzid.empty()) {
            zone_blocks_[open->tzid] = {open->offset, block_length};
          }
          open.reset();
          own_level = false;
        }
        break;
      }
      case 'U':
      case 'R':
      case 'T':
      case 'D': {
        if (!open || !own_level) break;
        // Properties of the block itself, not of its alarms.
        auto value = [&](std::string_view property) -> std::optional<std::string_view> {
          const std::size_t k = property.size();
          if (n <= k || !starts(line, n, property)) return std::nullopt;
          if (line[k] != ':' && line[k] != ';') return std::nullopt;
          const void* colon = std::memchr(line + k, ':', n - k);
          if (colon == nullptr) return std::string_view();
          const char* v = static_cast<const char*>(colon) + 1;
          return std::string_view(v, static_cast<std::size_t>(line + n - v));
        };
        if (open->is_item) {
          if (value("RECURRENCE-ID")) open->is_override = true;
          if (auto uid = value("UID")) open->uid = std::string(*uid);
          if (value("DTSTART")) {
            open->start = RawWallClock(LineValue(std::string_view(line, n)));
            ++open->starts;
            last_property = &*open;
          } else if (const auto rule = value("RRULE")) {
            ++open->rules;
            last_property = &*open;
            for (std::size_t at = 0; at + 6 < rule->size(); ++at) {
              if ((at == 0 || (*rule)[at - 1] == ';') && starts(rule->data() + at, 6, "UNTIL=")) {
                const std::string_view v = rule->substr(at + 6);
                open->until = RawWallClock(v.substr(0, v.find(';')));
              }
            }
          } else if (value("RDATE")) {
            open->other_dates = true;
          }
        } else if (auto tzid = value("TZID")) {
          open->tzid = std::string(*tzid);
        }
        break;
      }
      default:
        break;
    }
  }

  // A file read once (by the inspector) keeps a small file's items, the span from the first to
  // the last: they then need no second opening. The zone definitions usually before them are read
  // again only for a zone the system does not know by name. Bounded for the whole process.
  if (keep_text_ && converted_.empty() && !found.empty()) {
    constexpr std::size_t kKeepAtMost = 64 * 1024;
    const std::string_view whole = source->Whole();
    std::size_t from = whole.size(), to = 0;
    for (const Found& f : found) {
      from = std::min<std::size_t>(from, f.offset);
      to = std::max<std::size_t>(to, f.offset + f.length);
    }
    if (whole.size() <= kKeepAtMost && from < to && to <= whole.size()) {
      kept_ = KeepForLife(whole.substr(from, to - from));
      kept_from_ = from;
    }
  }

  // Changed instances of a series belong to it, as in Outlook's item list; an instance whose
  // series is not in the file stands for itself.
  std::unordered_set<std::string_view> master_uids;
  if (any_override) {
    for (const auto& f : found) {
      if (!f.is_override && f.uid_length > 0) master_uids.insert(f.Uid(uids));
    }
  }
  std::unordered_map<std::string_view, std::size_t> masters;  // UID -> slot
  items_.reserve(found.size());
  for (const auto& f : found) {
    if (f.is_override && master_uids.count(f.Uid(uids)) > 0) continue;
    Slot slot;
    slot.offset = f.offset;
    slot.length = f.length;
    slot.flags = f.quick;
    slot.start = f.start;
    slot.quick_end = f.until;
    items_.push_back(std::move(slot));
    if (any_override && !f.is_override && f.uid_length > 0)
      masters.emplace(f.Uid(uids), items_.size() - 1);
  }
  for (const auto& f : found) {
    if (!f.is_override) continue;
    const auto master = masters.find(f.Uid(uids));
    if (master == masters.end()) continue;
    Slot& slot = items_[master->second];
    if (slot.overrides < 0) {
      slot.overrides = static_cast<int32_t>(override_blocks_.size());
      override_blocks_.emplace_back();
    }
    Block b;
    b.offset = f.offset;
    b.length = f.length;
    override_blocks_[static_cast<std::size_t>(slot.overrides)].push_back(b);
  }
}

}  // namespace outlook::localstore
