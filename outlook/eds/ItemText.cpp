#include "outlook/eds/ItemText.h"

#include <libecal/libecal.h>

#include <string_view>

#include "outlook/eds/ServiceThread.h"

namespace outlook::eds {

std::string ItemText(const std::vector<const std::string*>& zones,
                     const std::vector<std::pair<std::string, std::string>>& parts) {
  static constexpr std::string_view kHead =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Brindlemoor//Ravenox//EN\r\n";
  static constexpr std::string_view kTail = "END:VCALENDAR\r\n";
  // Made at its size at once: a large calendar keeps thousands of these for long.
  std::size_t size = kHead.size() + kTail.size();
  for (const std::string* z : zones) size += z->size();
  for (const auto& [rid, part] : parts) size += part.size();
  std::string text;
  text.reserve(size);
  text.append(kHead);
  for (const std::string* z : zones) text += *z;
  for (const auto& [rid, part] : parts) text += part;
  text.append(kTail);
  return text;
}

void Split(const std::string& text, std::vector<std::string>& parts,
           std::vector<std::string>& zones) {
  int depth = 0;
  std::size_t start = 0;
  bool zone = false;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string_view line(text.data() + at, end - at);
    if (line.starts_with("BEGIN:")) {
      if (++depth == 2) {
        start = at;
        zone = line.starts_with("BEGIN:VTIMEZONE");
      }
    } else if (line.starts_with("END:")) {
      if (depth-- == 2 && !zone) parts.emplace_back(text.substr(start, end - start));
    } else if (zone && depth == 2 && line.starts_with("TZID:")) {
      std::string id(line.substr(5));
      while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
      zones.push_back(std::move(id));
    }
    at = end;
  }
}

std::string UidOf(const std::string& text) {
  std::size_t at = text.find("\nUID:");
  if (at == std::string::npos) return {};
  at += 5;
  std::string uid;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > at && text[stop - 1] == '\r') --stop;
    for (std::size_t i = at; i < stop; ++i) {
      // A text value's escapes (\\, \; \, \n) stand for what the service's UID holds.
      if (text[i] == '\\' && i + 1 < stop) {
        ++i;
        uid += text[i] == 'n' || text[i] == 'N' ? '\n' : text[i];
      } else {
        uid += text[i];
      }
    }
    // A folded line goes on after a line break and one blank.
    if (end + 1 < text.size() && (text[end + 1] == ' ' || text[end + 1] == '\t')) {
      at = end + 2;
    } else {
      break;
    }
  }
  return uid;
}

std::string RidOf(const std::string& part) {
  ICalComponent* c = i_cal_component_new_from_string(part.c_str());
  if (c == nullptr) return {};
  std::string rid = Owned(e_cal_util_component_get_recurid_as_string(c));
  g_object_unref(c);
  return rid;
}

}  // namespace outlook::eds
