// The locale-aware, case-insensitive order of the record lists: "Meeting" and "meeting" are one
// key.
#pragma once

#include <string_view>

namespace ravenox {

// <0, 0, >0 like strcmp. Thread-safe (each thread keeps its own collator).
int CompareText(std::string_view a, std::string_view b);

inline bool SameText(std::string_view a, std::string_view b) {
  return CompareText(a, b) == 0;
}

}  // namespace ravenox
