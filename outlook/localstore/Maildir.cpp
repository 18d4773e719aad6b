#include "outlook/localstore/Maildir.h"
#include "outlook/outbox/Support.h"
#include "platform/AtomicFile.h"

#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace outlook::localstore {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(g_ascii_tolower(c));
  return s;
}

std::string Trim(std::string s) {
  const auto not_blank = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), not_blank));
  s.erase(std::find_if(s.rbegin(), s.rend(), not_blank).base(), s.end());
  return s;
}

std::string Valid(const char* text) {
  if (text == nullptr) return {};
  gchar* valid = g_utf8_make_valid(text, -1);
  std::string out = valid;
  g_free(valid);
  return out;
}

int ImportanceOf(GMimeObject* message) {
  GMimeHeaderList* headers = g_mime_object_get_header_list(message);
  auto value = [&](const char* name) {
    const char* v = g_mime_header_list_get_header(headers, name) != nullptr
                        ? g_mime_header_get_value(g_mime_header_list_get_header(headers, name))
                        : nullptr;
    return v != nullptr ? Lower(Trim(v)) : std::string();
  };
  const std::string importance = value("Importance");
  const std::string x_priority = value("X-Priority");
  const std::string priority = value("Priority");
  const std::string ms_priority = value("X-MSMail-Priority");
  if (importance == "high" || x_priority.rfind('1', 0) == 0 || x_priority.rfind('2', 0) == 0 ||
      priority == "urgent" || ms_priority == "high")
    return 2;
  if (importance == "low" || x_priority.rfind('4', 0) == 0 || x_priority.rfind('5', 0) == 0 ||
      priority == "non-urgent" || ms_priority == "low")
    return 0;
  return 1;
}

ravenox::TDateTime FromGDateTime(GDateTime* date) {
  const gint64 unix_time = g_date_time_to_unix(date);
  return ravenox::FromUnixLocal(static_cast<time_t>(unix_time));
}

}  // namespace

MessageData ReadMessageHeaders(const std::filesystem::path& file) {
  outbox::EnsureGMime();
  MessageData data;
  // The header block only: the body may be large and is never needed.
  // Only from a regular file (a FIFO or a link to a device would hang or never end), and no more
  // than a header block can need.
  constexpr std::size_t kMaxHeaderBlock = 1u << 20;
  std::string head;
  int fd = -1;
  try {
    fd = ravenox::platform::OpenRegularFile(file);
  } catch (const std::exception&) {
    fd = -1;  // read as a message without headers
  }
  if (fd >= 0) {
    char buffer[8192];
    while (head.size() < kMaxHeaderBlock) {
      const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, kMaxHeaderBlock - head.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      const std::size_t from = head.size() >= 2 ? head.size() - 2 : 0;
      head.append(buffer, static_cast<std::size_t>(n));
      if (head.find("\n\n", from) != std::string::npos ||
          head.find("\n\r\n", from) != std::string::npos)
        break;
    }
    ::close(fd);
  }
  // The headers end at the first empty line.
  if (head.rfind("\r\n", 0) == 0 || head.rfind("\n", 0) == 0) head.clear();
  std::size_t end = std::min(head.find("\n\n"), head.find("\n\r\n"));
  if (end != std::string::npos) head.resize(end + 1);
  head += "\n";

  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(head.data(), head.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_object_unref(stream);
  GMimeParserOptions* options = g_mime_parser_options_new();
  const char* fallback[] = {"UTF-8", "ISO-8859-1", nullptr};
  g_mime_parser_options_set_fallback_charsets(options, fallback);
  GMimeMessage* message = g_mime_parser_construct_message(parser, options);
  g_object_unref(parser);

  struct stat st {};
  const bool have_stat = ::stat(file.c_str(), &st) == 0;
  data.received = have_stat ? ravenox::FromUnixLocal(st.st_mtim.tv_sec) : ravenox::TDateTime(0.0);
  if (message == nullptr) {
    g_mime_parser_options_free(options);
    return data;
  }

  data.subject = Valid(g_mime_message_get_subject(message));
  InternetAddressList* from = g_mime_message_get_from(message);
  if (from != nullptr && internet_address_list_length(from) > 0) {
    InternetAddress* address = internet_address_list_get_address(from, 0);
    const char* name = internet_address_get_name(address);
    if (name != nullptr && *name != '\0') {
      data.sender_name = Valid(name);
    } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      data.sender_name =
          Valid(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
    }
  }
  data.importance = ImportanceOf(GMIME_OBJECT(message));

  // The newest Received header (the top one) tells when the mail arrived; else its Date.
  GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
  bool dated = false;
  for (int i = 0; i < g_mime_header_list_get_count(headers) && !dated; ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(headers, i);
    if (g_ascii_strcasecmp(g_mime_header_get_name(h), "Received") != 0) continue;
    const char* value = g_mime_header_get_raw_value(h);
    const char* semicolon = value != nullptr ? std::strrchr(value, ';') : nullptr;
    if (semicolon == nullptr) break;
    GDateTime* date = g_mime_utils_header_decode_date(semicolon + 1);
    if (date != nullptr) {
      data.received = FromGDateTime(date);
      g_date_time_unref(date);
      dated = true;
    }
    break;
  }
  if (!dated) {
    if (GDateTime* date = g_mime_message_get_date(message)) data.received = FromGDateTime(date);
  }
  g_object_unref(message);
  g_mime_parser_options_free(options);
  return data;
}

MaildirInbox::MaildirInbox(std::filesystem::path dir) : dir_(std::move(dir)) {}

void MaildirInbox::Refresh() {
  struct stat new_st {
  }, cur_st{};
  const bool have_new = ::stat((dir_ / "new").c_str(), &new_st) == 0;
  const bool have_cur = ::stat((dir_ / "cur").c_str(), &cur_st) == 0;
  auto same = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  if (listed_ && same(new_st.st_mtim, new_stamp_) && same(cur_st.st_mtim, cur_stamp_)) return;
  new_stamp_ = have_new ? new_st.st_mtim : timespec{};
  cur_stamp_ = have_cur ? cur_st.st_mtim : timespec{};
  listed_ = true;

  std::map<std::string, Entry> next;
  for (const char* sub : {"new", "cur"}) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / sub, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.empty() || name[0] == '.') continue;
      // The unique part of the name stays when the flags after ":2," change (some programs
      // write "!2," where a colon is not allowed in file names).
      const std::size_t colon = name.find_first_of(":!");
      const std::string unique = name.substr(0, colon);
      const std::string flags = colon != std::string::npos && name.compare(colon + 1, 2, "2,") == 0
                                    ? name.substr(colon + 3)
                                    : "";
      auto old = entries_.find(unique);
      Entry e;
      e.file = entry.path().string();
      if (old != entries_.end()) {
        e.data = old->second.data;
      } else {
        e.data = ReadMessageHeaders(entry.path());
        ++opened_;
      }
      e.data.unread = std::string(sub) == "new" || flags.find('S') == std::string::npos;
      next[unique] = std::move(e);
    }
  }
  entries_ = std::move(next);
  // Oldest first, as an inbox lists them.
  std::vector<std::pair<ravenox::TDateTime, const Entry*>> sorted;
  for (const auto& [unique, e] : entries_) sorted.emplace_back(e.data.received, &e);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  order_.clear();
  for (const auto& [when, e] : sorted) order_.push_back(&e->data);
}

std::size_t MaildirInbox::UnreadCount() const {
  return static_cast<std::size_t>(
      std::count_if(order_.begin(), order_.end(), [](const MessageData* m) { return m->unread; }));
}

}  // namespace outlook::localstore
