#include "outlook/outbox/Support.h"

#include <gmime/gmime.h>

#include <algorithm>

namespace outlook::outbox {

void EnsureGMime() {
  static const bool ready = [] {
    g_mime_init();
    return true;
  }();
  (void)ready;
}

void MakeMaildir(const std::filesystem::path& dir) {
  for (const char* sub : {"tmp", "new", "cur"}) std::filesystem::create_directories(dir / sub);
}

std::string DisplayText(const std::string& text, bool drop_format) {
  std::string bytes = text;
  std::replace(bytes.begin(), bytes.end(), '\0', ' ');
  gchar* valid = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
  std::string out;
  for (const gchar* p = valid; *p != '\0'; p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    if (drop_format && g_unichar_type(c) == G_UNICODE_FORMAT) continue;
    if (g_unichar_iscntrl(c)) {
      out += ' ';
    } else {
      out.append(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
    }
  }
  g_free(valid);
  return out;
}

}  // namespace outlook::outbox
