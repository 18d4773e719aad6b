#include "base/RecordText.h"

namespace ravenox {

std::string CutUtf8(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Back up over continuation bytes (10xxxxxx) to the lead byte of the character that would be
  // split, and cut before it.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut));
}

}  // namespace ravenox
