#include "outlook/outbox/Bounces.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "base/RecordText.h"
#include "outlook/outbox/Sender.h"
#include "outlook/outbox/Support.h"

namespace outlook::outbox {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The bytes of a leaf part, decoded.
std::string ContentOf(GMimeObject* part) {
  if (!GMIME_IS_PART(part)) return {};
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
  if (content == nullptr) return {};
  GMimeStream* out = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(content, out);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
  std::string text = bytes != nullptr
                         ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->len)
                         : std::string();
  g_object_unref(out);
  return text;
}

// Header-style fields ("Name: value", continued on indented lines), in groups separated by blank
// lines, names in lower case.
using Fields = std::vector<std::pair<std::string, std::string>>;
std::vector<Fields> FieldGroups(const std::string& text) {
  std::vector<Fields> groups(1);
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t words = line.find_first_not_of(" \t");
    if (words == std::string::npos) {
      // Only blanks: a line that ends a group, as an empty one does.
      if (!groups.back().empty()) groups.emplace_back();
    } else if (words > 0 && !groups.back().empty()) {
      groups.back().back().second += " " + line.substr(words);
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, std::min(value.find_first_not_of(" \t"), value.size()));
      groups.back().emplace_back(Lower(line.substr(0, colon)), value);
    }
    if (end == text.size()) break;
  }
  return groups;
}

std::string FieldOf(const Fields& fields, const std::string& name) {
  for (const auto& [n, v] : fields) {
    if (n == name) return v;
  }
  return {};
}

// "rfc822; someone@example.org" -> "someone@example.org"; "smtp; 550 ..." -> "550 ...".
std::string AfterType(const std::string& value) {
  const auto semi = value.find(';');
  std::string v = semi == std::string::npos ? value : value.substr(semi + 1);
  v.erase(0, std::min(v.find_first_not_of(" \t"), v.size()));
  return v;
}

std::string WithoutBrackets(std::string id) {
  id.erase(0, std::min(id.find_first_not_of(" \t<"), id.size()));
  while (!id.empty() && (id.back() == '>' || id.back() == ' ')) id.pop_back();
  return id;
}

}  // namespace

bool MayBeBounce(const std::string& head) {
  return Lower(head).find("delivery-status") != std::string::npos;
}

std::optional<Bounce> ReadBounce(const std::string& message) {
  EnsureGMime();
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(message.data(), message.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_object_unref(stream);
  GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  if (parsed == nullptr) return std::nullopt;
  GMimeObject* top = g_mime_message_get_mime_part(parsed);
  std::optional<Bounce> bounce;
  if (top != nullptr && GMIME_IS_MULTIPART(top)) {
    GMimeContentType* type = g_mime_object_get_content_type(top);
    const char* report = g_mime_content_type_get_parameter(type, "report-type");
    if (g_mime_content_type_is_type(type, "multipart", "report") && report != nullptr &&
        g_ascii_strcasecmp(report, "delivery-status") == 0) {
      Bounce b;
      GMimeMultipart* parts = GMIME_MULTIPART(top);
      for (int i = 0; i < g_mime_multipart_get_count(parts); ++i) {
        GMimeObject* part = g_mime_multipart_get_part(parts, i);
        GMimeContentType* t = g_mime_object_get_content_type(part);
        if (g_mime_content_type_is_type(t, "message", "delivery-status") ||
            g_mime_content_type_is_type(t, "message", "global-delivery-status")) {
          // The per-message fields, then one group per recipient.
          const std::vector<Fields> groups = FieldGroups(ContentOf(part));
          for (std::size_t g = 1; g < groups.size(); ++g) {
            if (Lower(FieldOf(groups[g], "action")) != "failed") continue;
            Bounce::Failure f;
            f.recipient = WithoutBrackets(AfterType(FieldOf(groups[g], "final-recipient")));
            f.reason = AfterType(FieldOf(groups[g], "diagnostic-code"));
            if (f.reason.empty()) f.reason = "status " + FieldOf(groups[g], "status");
            f.reason = ravenox::FirstCharacters(DisplayText(f.reason), 300);
            f.recipient = DisplayText(f.recipient);
            b.failures.push_back(std::move(f));
          }
        } else if (GMIME_IS_MESSAGE_PART(part)) {
          GMimeMessage* original = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
          if (original != nullptr && g_mime_message_get_message_id(original) != nullptr)
            b.original_id = g_mime_message_get_message_id(original);
        } else if (g_mime_content_type_is_type(t, "text", "rfc822-headers")) {
          const std::vector<Fields> groups = FieldGroups(ContentOf(part));
          if (!groups.empty()) b.original_id = FieldOf(groups[0], "message-id");
        }
      }
      b.original_id = WithoutBrackets(b.original_id);
      if (!b.failures.empty() && !b.original_id.empty()) bounce = b;
    }
  }
  g_object_unref(parsed);
  return bounce;
}

}  // namespace outlook::outbox
