// Stepping through code page 950 strings: where a double-byte character
// begins and ends decides where a path walk may see a separator.
#include "core/big5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The edges of the lead and trail ranges, and the ASCII bytes among the
// trail bytes that matter to paths.
TEST(Big5, CharacterLengthFollowsTheLeadAndTrailRanges) {
  struct Case {
    const char* bytes;
    int32_t len;
  };
  const Case cases[] = {
      {"\xB3\x5C", 2},  // 許: trail byte '\'
      {"\xA5\x5C", 2},  // 功
      {"\x81\x40", 2},  // lowest lead, lowest trail
      {"\xFE\xFE", 2},  // highest lead, highest trail
      {"\xA4\x7E", 2},
      {"\xA4\xA1", 2},
      {"\xA4\x61", 2},  // a trail byte in the ASCII letter range
      {"\x80\x5C", 1},  // 0x80 and 0xFF lead nothing
      {"\xFF\x5C", 1},
      {"\xA4\x3F", 1},  // just below the trail ranges
      {"\xA4\x7F", 1},
      {"\xA4\xA0", 1},
      {"\xA4\xFF", 1},
      {"\xA4/", 1},  // '/' is never a trail byte
      {"\xA4:", 1},
      {"\xA4.", 1},
      {"\\\\", 1},
      {"ab", 1},
  };
  for (const Case& c : cases) {
    std::string s = c.bytes;
    SCOPED_TRACE(testing::PrintToString(s));
    EXPECT_EQ(Big5CharLen(s.data(), (int32_t)s.size()), c.len);
    EXPECT_EQ(Big5CharLenZ(s.c_str()), c.len);
  }
  // A lead byte at the end of the text is a character of one byte.
  EXPECT_EQ(Big5CharLen("\xB3\x5C", 1), 1);
  EXPECT_EQ(Big5CharLenZ("\xB3"), 1);
}

TEST(Big5, SeparatorsAreFoundOnlyBetweenCharacters) {
  struct Case {
    std::string path;
    int32_t last_separator;
    bool ends_with_backslash;
  };
  const Case cases[] = {
      {"C:\\App\\app.exe", 6, false},
      {"C:/App/app.exe", 6, false},
      {"C:\\App\\", 6, true},
      {"app.exe", -1, false},
      {"", -1, false},
      {"C:\\App\\\xA5\x5C", 6, false},          // a file named 功
      {"C:\\\xB3\x5C\\f.dll", 5, false},         // 許 then a real separator
      {"C:\\\xB3\x5C\\", 5, true},
      {"\xB3\x5C\xA5\x5C", -1, false},           // 許功, no separator at all
      {"\xB3\x5C\x5C", 2, true},                 // 許 and a real '\'
      {"\xA4\\", -1, false},                     // A4 5C is one character
      {"x\xA4/y", 2, false},                     // '/' after a lead is its own
      {"\x80\\", 1, true},                       // 0x80 is no lead byte
      {"a\\\xA4", 1, false},                     // a stray lead at the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.path));
    const int32_t n = (int32_t)c.path.size();
    EXPECT_EQ(Big5LastSeparator(c.path.data(), n), c.last_separator);
    EXPECT_EQ(Big5EndsWith(c.path.data(), n, '\\'), c.ends_with_backslash);
  }
}

}  // namespace
