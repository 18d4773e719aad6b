#include "outlook/ical/Libical.h"

#include <glib.h>

namespace outlook::ical {

void EnsureLibical() {
  static const bool once = [] {
    icalerror_set_errors_are_fatal(0);
    return true;
  }();
  (void)once;
}

ComponentPtr Parse(const std::string& text, icalcomponent_kind kind) {
  ComponentPtr c(icalparser_parse_string(text.c_str()));
  if (c != nullptr && icalcomponent_isa(c.get()) != kind) c.reset();
  return c;
}

std::string Utf8(const char* text) {
  if (text == nullptr) return {};
  if (g_utf8_validate(text, -1, nullptr)) return text;
  gchar* converted = g_convert(text, -1, "UTF-8", "ISO-8859-1", nullptr, nullptr, nullptr);
  std::string out = converted != nullptr ? converted : "";
  g_free(converted);
  return out;
}

std::string Text(icalcomponent* c, icalproperty_kind kind) {
  icalproperty* p = icalcomponent_get_first_property(c, kind);
  if (p == nullptr) return {};
  icalvalue* v = icalproperty_get_value(p);
  if (v == nullptr) return {};
  return Utf8(icalvalue_get_text(v));
}

}  // namespace outlook::ical
