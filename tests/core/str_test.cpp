#include "core/str.h"

#include <gtest/gtest.h>

TEST(Str, JoinPutsExactlyOneSeparatorBetweenParts) {
  static Str a, b, out;
  StrSetZ(&a, "C:\\App\\");
  StrSetZ(&b, "F.dll");
  ASSERT_TRUE(StrJoin2(&out, &a, &b));
  EXPECT_STREQ(out.s, "C:\\App\\\\F.dll");
}

TEST(Str, AppendPastCapacityKeepsWhatFitsAndFlagsOverflow) {
  static Str d;
  StrClear(&d);
  static char big[kStrCap + 10];
  memset(big, 'x', sizeof big);
  StrCat(&d, big, (int32_t)sizeof big);
  EXPECT_EQ(d.len, kStrCap - 1);
  EXPECT_TRUE(d.overflow);
  EXPECT_EQ(d.s[d.len], 0);
}
