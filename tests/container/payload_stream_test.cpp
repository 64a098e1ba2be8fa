#include "container/payload_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "container/load_fixture.h"

namespace {

using namespace std::string_literals;

// A session whose payload stream holds `bytes`, cursor at 0.
void FillPayload(Session* s, const std::string& bytes) {
  s->payload = s->os->create_temp_file();
  ASSERT_TRUE(s->payload);
  int32_t done = 0;
  ASSERT_TRUE(s->os->write(s->payload, bytes.data(), (int32_t)bytes.size(), &done));
  ASSERT_EQ(done, (int32_t)bytes.size());
  ASSERT_EQ(s->os->seek(s->payload, 0), 0u);
}

TEST(PayloadStream, Strings) {
  struct Case {
    const char* what;
    std::string stored;  // length byte included
    bool ok;
    std::string value;
    uint32_t consumed;  // when ok
  };
  std::string x255(255, 'x');
  std::string big5 = "\xa4\xa4\xa4\xe5\xc0\xc9\xae\xd7";
  const Case cases[] = {
      {"empty", "\x00"s, true, "", 1},
      {"plain", "\x03" "abc", true, "abc", 4},
      {"NUL inside ends the value", "\x05" "ab\0cd"s, true, "ab", 6},
      {"NUL first", "\x03\0bc"s, true, "", 4},
      {"255 bytes", "\xff" + x255, true, x255, 256},
      {"Big5 bytes", "\x08" + big5, true, big5, 9},
      {"bytes cut short", "\x0a" "abcd", false, "", 0},
      {"length byte missing", "", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SessionBox s(PlatformNative());
    // A failing record is the last thing in the payload: its read runs off
    // the end.
    FillPayload(s.get(), c.ok ? c.stored + "NEXT" : c.stored);
    Str v;
    StrSetZ(&v, "stale");
    if (!c.ok) {
      EXPECT_FALSE(PayloadReadString(s.get(), &v));
      EXPECT_EQ(v.len, 0);
      continue;
    }
    ASSERT_TRUE(PayloadReadString(s.get(), &v));
    EXPECT_EQ(std::string(v.s, (size_t)v.len), c.value);
    EXPECT_EQ(PayloadTell(s.get()), c.consumed);
    char next[4];
    ASSERT_TRUE(PayloadRead(s.get(), next, 4));
    EXPECT_EQ(std::string(next, 4), "NEXT");
  }
}

TEST(PayloadStream, ReadsAndPositions) {
  SessionBox s(PlatformNative());
  FillPayload(s.get(), "0123456789");
  char buf[16] = {};

  // Zero bytes: success, cursor unchanged.
  ASSERT_TRUE(PayloadSeek(s.get(), 4));
  EXPECT_TRUE(PayloadRead(s.get(), buf, 0));
  EXPECT_EQ(PayloadTell(s.get()), 4u);

  // Reads move the cursor; seeks go back to recorded positions.
  ASSERT_TRUE(PayloadRead(s.get(), buf, 3));
  EXPECT_EQ(std::string(buf, 3), "456");
  uint32_t mark = PayloadTell(s.get());
  EXPECT_EQ(mark, 7u);
  ASSERT_TRUE(PayloadSeek(s.get(), 1));
  ASSERT_TRUE(PayloadRead(s.get(), buf, 2));
  EXPECT_EQ(std::string(buf, 2), "12");
  ASSERT_TRUE(PayloadSeek(s.get(), mark));
  ASSERT_TRUE(PayloadRead(s.get(), buf, 3));
  EXPECT_EQ(std::string(buf, 3), "789");

  // A read that finds fewer bytes than asked fails.
  ASSERT_TRUE(PayloadSeek(s.get(), 8));
  EXPECT_FALSE(PayloadRead(s.get(), buf, 3));
  // Seeking past the end is allowed; reading there fails.
  EXPECT_TRUE(PayloadSeek(s.get(), 100));
  EXPECT_FALSE(PayloadRead(s.get(), buf, 1));
  EXPECT_FALSE(PayloadRead(s.get(), buf, -1));
}

// A position the system cannot seek to must not leave the cursor where it
// was: the next read would take the wrong bytes.
TEST(PayloadStream, UnreachablePositionLeavesNothingToRead) {
  for (uint32_t pos : {0x80000000u, 0xFFFFFFFFu}) {
    SessionBox s(PlatformNative());
    FillPayload(s.get(), "0123456789");
    ASSERT_TRUE(PayloadSeek(s.get(), 2));
    EXPECT_FALSE(PayloadSeek(s.get(), pos));
    char c;
    EXPECT_FALSE(PayloadRead(s.get(), &c, 1));
    Str v;
    EXPECT_FALSE(PayloadReadString(s.get(), &v));
  }
}

TEST(PayloadStream, NoStreamFailsEveryRead) {
  SessionBox s(PlatformNative());
  char c;
  Str v;
  EXPECT_FALSE(PayloadRead(s.get(), &c, 1));
  EXPECT_FALSE(PayloadReadString(s.get(), &v));
  EXPECT_FALSE(PayloadSeek(s.get(), 0));
}

}  // namespace
