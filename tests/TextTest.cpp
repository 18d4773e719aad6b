#include <gtest/gtest.h>

#include <string>

#include "base/Collation.h"
#include "base/RecordText.h"

namespace ravenox {
namespace {

TEST(RecordText, CutsAtWholeCharacters) {
  const std::string a255(255, 'a');
  struct Case {
    std::string in;
    std::size_t expected_size;
  };
  const auto as = [](std::size_t n, const char* tail) { return std::string(n, 'a').append(tail); };
  const Case cases[] = {
      {"", 0},
      {a255, 255},
      {std::string(300, 'x'), 255},
      // 254 ASCII bytes and a two-byte character: the character does not fit whole.
      {as(254, "\xC3\xA9"), 254},
      // 253 bytes and a two-byte character fit exactly.
      {as(253, "\xC3\xA9zz"), 255},
      // A four-byte character straddling the limit is dropped whole.
      {as(253, "\xF0\x9F\x98\x80"), 253},
  };
  for (const auto& c : cases) {
    const std::string out = RecordText(c.in);
    EXPECT_EQ(out.size(), c.expected_size);
    EXPECT_EQ(out, c.in.substr(0, c.expected_size));
  }
}

TEST(RecordText, FirstCharactersCountsCodePoints) {
  EXPECT_EQ(FirstCharacters("abc", 200), "abc");
  EXPECT_EQ(FirstCharacters("abcdef", 3), "abc");
  EXPECT_EQ(FirstCharacters("\xC3\xA9t\xC3\xA9!", 3), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(FirstCharacters("\xF0\x9F\x98\x80x", 1), "\xF0\x9F\x98\x80");
  EXPECT_EQ(FirstCharacters("xyz", 0), "");
}

TEST(Collation, CaseInsensitiveLocaleAwareOrder) {
  EXPECT_EQ(CompareText("Meeting", "meeting"), 0);
  EXPECT_EQ(CompareText("STAFF call", "staff CALL"), 0);
  EXPECT_LT(CompareText("apple", "Banana"), 0);
  EXPECT_GT(CompareText("banana", "Apple"), 0);
  EXPECT_LT(CompareText("a", "ab"), 0);
  // Accents still tell keys apart (secondary strength).
  EXPECT_NE(CompareText("resume", "r\xC3\xA9sum\xC3\xA9"), 0);
  EXPECT_EQ(CompareText("R\xC3\x89SUM\xC3\x89", "r\xC3\xA9sum\xC3\xA9"), 0);
  // Letters sort by the alphabet, not by byte value.
  EXPECT_LT(CompareText("\xC3\xA9t\xC3\xA9", "f"), 0);
}

}  // namespace
}  // namespace ravenox
