#include "base/RecordText.h"

namespace ravenox {

std::size_t CutUtf8Length(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = limit;
  // Back up over continuation bytes (10xxxxxx) to the lead byte of the character that would be
  // split, and cut before it.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

std::string CutUtf8(std::string_view text, std::size_t limit) {
  return std::string(text.substr(0, CutUtf8Length(text, limit)));
}

std::string FirstCharacters(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < text.size(); ++i) {
    // Each lead byte (anything but 10xxxxxx) starts a character.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == count) break;
  }
  return std::string(text.substr(0, i));
}

}  // namespace ravenox
