// Record texts: the key of a record in its list and the text sent for it. They live in a 256-byte
// field of the state files (one length byte, up to 255 bytes of text).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ravenox {

inline constexpr std::size_t kMaxRecordText = 255;

// Cuts to at most `limit` bytes, at the end of the last whole UTF-8 character that fits, so a
// stored text never ends in half a character.
std::string CutUtf8(std::string_view text, std::size_t limit);

// The length CutUtf8 would give, without the copy.
std::size_t CutUtf8Length(std::string_view text, std::size_t limit);

// The first `count` characters (UTF-8 code points) of `text`.
std::string FirstCharacters(std::string_view text, std::size_t count);

// The stored form of a record text.
inline std::string RecordText(std::string_view text) {
  return CutUtf8(text, kMaxRecordText);
}

}  // namespace ravenox
