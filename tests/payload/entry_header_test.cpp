// The entry-header reader: what it takes into s->entry, where it leaves the
// cursor, and what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container/payload_stream.h"
#include "payload/entry_pass.h"
#include "support/payload_fixture.h"

using writer::PatchedFile;
using writer::PatchedSource;
using writer::PayloadBuilder;
using writer::PayloadLayout;

namespace {

PatchedSource Source(const std::string& name, uint32_t old_checksum,
                     uint32_t old_size, std::vector<std::string> streams) {
  PatchedSource src;
  src.name = name;
  src.record.old_checksum = old_checksum;
  src.record.old_size = old_size;
  src.record.trailer_group_size = 190;
  src.record.flags = kSourceRawTrailers;
  src.record.insert_block_size = 20;
  for (int i = 0; i < kStreamCount; i++) src.streams[i] = streams[i];
  return src;
}

class EntryHeader : public testing::Test {
 protected:
  // One group holding the given entries; the reader is put at entry i.
  void LoadEntries(const std::vector<std::string>& entries) {
    PayloadBuilder b;
    b.SetTexts("notice", "desc");
    b.ChosenFolderGroup("BAK");
    for (const std::string& e : entries) b.AddRawEntry(e);
    ASSERT_TRUE(ps.Load(b, &at));
  }
  bool ReadAt(size_t i, uint8_t* kind) {
    PayloadSeek(ps.s(), at.entry_pos[0][i]);
    return ReadNextEntryHeader(ps.s(), kind);
  }
  uint32_t EntryPos(size_t i) const { return at.entry_pos[0][i]; }
  const CurrentEntry& e() { return ps.s()->entry; }

  PayloadSession ps;
  PayloadLayout at;
};

TEST_F(EntryHeader, PatchedFileWithoutHolesTakesEveryFieldAndStepsOverStreams) {
  PatchedFile p;
  p.name = "sub\\app.dll";
  p.new_checksum = 0x11223344;
  p.new_size = 5000;
  p.new_stamp = 0x5A8B6C3D;
  p.flags = kEntryQuiet;
  p.unused16 = 0xBEEF;
  p.unused8 = 0x77;
  p.sources.push_back(
      Source("", 0xAABBCCDD, 4000, {"cmd", "f", "", "insert!", "tr"}));
  p.sources.push_back(
      Source("old\\app.dll", 0x01020304, 4500, {"c2", "", "s", "", "trail"}));
  LoadEntries({writer::EncodePatchedEntry(p), writer::EncodeRemovedEntry("x")});

  uint8_t kind = 0xEE;
  ASSERT_TRUE(ReadAt(0, &kind));
  EXPECT_EQ(kind, kEntryPatched);
  EXPECT_EQ(e().kind, kEntryPatched);
  EXPECT_TRUE(StrEqZ(&e().name, "sub\\app.dll"));
  EXPECT_EQ(e().new_checksum, 0x11223344u);
  EXPECT_EQ(e().new_size, 5000u);
  EXPECT_EQ(e().new_stamp, 0x5A8B6C3Du);
  EXPECT_EQ(e().source_count, 2);
  EXPECT_EQ(e().flags, kEntryQuiet);
  EXPECT_FALSE(e().optional);
  EXPECT_EQ(e().hole_offset, 0u);
  EXPECT_EQ(e().hole_length, 0u);

  // An empty source name stands for the entry name.
  EXPECT_TRUE(StrEqZ(&e().source[0].name, "sub\\app.dll"));
  EXPECT_TRUE(StrEqZ(&e().source[1].name, "old\\app.dll"));
  EXPECT_EQ(e().source[0].record.old_checksum, 0xAABBCCDDu);
  EXPECT_EQ(e().source[0].record.old_size, 4000u);
  EXPECT_EQ(e().source[0].record.trailer_group_size, 190);
  EXPECT_EQ(e().source[0].record.flags, kSourceRawTrailers);
  EXPECT_EQ(e().source[0].record.insert_block_size, 20);
  const uint32_t lens0[] = {3, 1, 0, 7, 2};
  for (int i = 0; i < kStreamCount; i++)
    EXPECT_EQ(e().source[0].record.stream_len[i], lens0[i]) << i;
  EXPECT_EQ(e().source[1].record.old_size, 4500u);

  // Kind, header, name, then per source: name, record, streams.
  const uint32_t p0 = EntryPos(0);
  const uint32_t src0 = p0 + 1 + 18 + (1 + 11) + (1 + 0) + 32;
  EXPECT_EQ(e().source[0].data_pos, src0);
  const uint32_t src1 = src0 + 13 + (1 + 11) + 32;
  EXPECT_EQ(e().source[1].data_pos, src1);
  const uint32_t end = src1 + 8;
  EXPECT_EQ(e().end_pos, end);
  EXPECT_EQ(PayloadTell(ps.s()), end);
  EXPECT_EQ(EntryPos(1), end);  // the next kind byte follows at once
}

TEST_F(EntryHeader, HolePairsFollowTheHeaderAndEachSourceRecord) {
  PatchedFile p;
  p.name = "a.exe";
  p.flags = kEntryHasHoles | kEntryOptional;
  p.hole = {100, 4};
  p.sources.push_back(Source("", 1, 2, {"x", "", "", "", ""}));
  p.sources.back().hole = {8, 16};
  p.sources.push_back(Source("b.exe", 3, 4, {"", "", "", "", "yy"}));
  p.sources.back().hole = {0, 0};
  LoadEntries({writer::EncodePatchedEntry(p)});

  uint8_t kind;
  ASSERT_TRUE(ReadAt(0, &kind));
  EXPECT_TRUE(e().optional);
  EXPECT_EQ(e().hole_offset, 100u);
  EXPECT_EQ(e().hole_length, 4u);
  EXPECT_EQ(e().source[0].hole_offset, 8u);
  EXPECT_EQ(e().source[0].hole_length, 16u);
  EXPECT_EQ(e().source[1].hole_offset, 0u);
  EXPECT_EQ(e().source[1].hole_length, 0u);
  const uint32_t src0 = EntryPos(0) + 1 + 18 + 8 + (1 + 5) + 1 + 32 + 8;
  EXPECT_EQ(e().source[0].data_pos, src0);
  const uint32_t src1 = src0 + 1 + (1 + 5) + 32 + 8;
  EXPECT_EQ(e().source[1].data_pos, src1);
  EXPECT_EQ(e().end_pos, src1 + 2);
}

TEST_F(EntryHeader, HolesAreZeroWhenTheFlagIsClearEvenAfterAHoledEntry) {
  PatchedFile holed;
  holed.name = "a";
  holed.flags = kEntryHasHoles;
  holed.hole = {1, 2};
  holed.sources.push_back(Source("", 0, 0, {"", "", "", "", ""}));
  holed.sources.back().hole = {3, 4};
  PatchedFile plain = holed;
  plain.flags = 0;
  LoadEntries({writer::EncodePatchedEntry(holed),
               writer::EncodePatchedEntry(plain)});
  uint8_t kind;
  ASSERT_TRUE(ReadAt(0, &kind));
  ASSERT_TRUE(ReadNextEntryHeader(ps.s(), &kind));
  EXPECT_EQ(e().hole_offset, 0u);
  EXPECT_EQ(e().hole_length, 0u);
  EXPECT_EQ(e().source[0].hole_offset, 0u);
  EXPECT_EQ(e().source[0].hole_length, 0u);
}

TEST_F(EntryHeader, NewRemovedAndRegistryEntries) {
  writer::NewFile nf;
  nf.name = "docs\\read me.txt";
  nf.data = std::string("line\0two", 8);
  nf.stamp = 0x12345678;
  nf.unused16 = 0xFFFF;
  const std::string script = writer::RegistryScript(kHkeyCurrentUser, "k", "v")
                                 .SetDword("n", 7)
                                 .Bytes();
  LoadEntries({writer::EncodeNewFileEntry(nf),
               writer::EncodeRemovedEntry("gone.dll"),
               writer::EncodeRegistryEntry(script),
               writer::EncodeNewFileEntry(writer::NewFile{"empty", "", 0, 0})});

  uint8_t kind;
  ASSERT_TRUE(ReadAt(0, &kind));
  EXPECT_EQ(kind, kEntryNew);
  EXPECT_TRUE(StrEqZ(&e().name, "docs\\read me.txt"));
  EXPECT_EQ(e().data_length, 8u);
  EXPECT_EQ(e().new_file_stamp, 0x12345678u);
  EXPECT_EQ(e().data_pos, EntryPos(0) + 1 + (1 + 16) + 10);
  EXPECT_EQ(e().end_pos, e().data_pos + 8);
  EXPECT_EQ(e().end_pos, EntryPos(1));

  ASSERT_TRUE(ReadNextEntryHeader(ps.s(), &kind));
  EXPECT_EQ(kind, kEntryRemoved);
  EXPECT_TRUE(StrEqZ(&e().name, "gone.dll"));
  EXPECT_EQ(e().end_pos, EntryPos(1) + 1 + 1 + 8);

  ASSERT_TRUE(ReadNextEntryHeader(ps.s(), &kind));
  EXPECT_EQ(kind, kEntryRegistry);
  EXPECT_EQ(e().data_pos, EntryPos(2) + 1 + 4);
  EXPECT_EQ(e().data_length, (uint32_t)script.size());
  EXPECT_EQ(e().end_pos, e().data_pos + script.size());
  // A registry entry has no name: "%m" keeps the previous one.
  EXPECT_TRUE(StrEqZ(&e().name, "gone.dll"));

  ASSERT_TRUE(ReadNextEntryHeader(ps.s(), &kind));
  EXPECT_EQ(e().data_length, 0u);
  EXPECT_EQ(e().end_pos, e().data_pos);

  ASSERT_TRUE(ReadNextEntryHeader(ps.s(), &kind));
  EXPECT_EQ(kind, kEntryEnd);
  EXPECT_EQ(e().end_pos, EntryPos(3) + 1 + 6 + 10 + 1);
}

TEST_F(EntryHeader, UndefinedKindsAreRefused) {
  for (int k : {4, 6, 7, 0x7F, 0x80, 0xFF}) {
    LoadEntries({std::string(1, (char)k) + std::string(40, '\0')});
    uint8_t kind = 0;
    EXPECT_FALSE(ReadAt(0, &kind)) << k;
    EXPECT_EQ(kind, k);
  }
}

TEST_F(EntryHeader, AtMostTwentySources) {
  for (int count : {20, 21, 300}) {
    PatchedFile p;
    p.name = "a";
    for (int i = 0; i < count; i++)
      p.sources.push_back(Source("", (uint32_t)i, 0, {"c", "", "", "", ""}));
    LoadEntries({writer::EncodePatchedEntry(p)});
    uint8_t kind;
    EXPECT_EQ(ReadAt(0, &kind), count <= kMaxSources) << count;
  }
}

// A length in the payload that reaches past its end must not move the
// cursor anywhere else (a wrapped 32-bit position would send the walk back
// over entries already read, for ever).
TEST_F(EntryHeader, DataReachingPastThePayloadIsRefused) {
  struct Case {
    const char* what;
    std::string entry;
  };
  PatchedFile wraps;
  wraps.name = "a";
  wraps.sources.push_back(Source("", 0, 0, {"abc", "", "", "", ""}));
  wraps.sources[0].lengths_as_given = true;
  wraps.sources[0].record.stream_len[0] = 3;
  wraps.sources[0].record.stream_len[4] = 0xFFFFFFF0u;
  PatchedFile past = wraps;
  past.sources[0].record.stream_len[4] = 1000;
  std::string new_file = writer::EncodeNewFileEntry(writer::NewFile{"n", "xy"});
  new_file[1 + 2 + 0] = (char)0xF0;  // data length 0x....F0 bytes
  new_file[1 + 2 + 3] = (char)0xFF;
  std::string registry = writer::EncodeRegistryEntry("\0");
  registry[4] = (char)0xFF;  // script length 0xFF000001
  const Case cases[] = {
      {"stream length wrapping the position", writer::EncodePatchedEntry(wraps)},
      {"stream past the end", writer::EncodePatchedEntry(past)},
      {"new file data past the end", new_file},
      {"registry script past the end", registry},
  };
  for (const Case& c : cases) {
    LoadEntries({c.entry});
    uint8_t kind;
    EXPECT_FALSE(ReadAt(0, &kind)) << c.what;
  }
}

// Every cut of an entry inside its header fails; none reads as an entry.
TEST_F(EntryHeader, EveryTruncatedHeaderFails) {
  PatchedFile p;
  p.name = "abc";
  p.flags = kEntryHasHoles;
  p.sources.push_back(Source("src", 0, 0, {"1", "22", "", "4444", ""}));
  const std::string patched = writer::EncodePatchedEntry(p);
  const std::string entries[] = {
      patched,
      writer::EncodeNewFileEntry(writer::NewFile{"new", "data"}),
      writer::EncodeRemovedEntry("rem"),
      writer::EncodeRegistryEntry("\x01\x00\x00\x80\x00\x00\x00\x00\x00\x00\x00"),
  };
  for (const std::string& entry : entries) {
    for (size_t cut = 1; cut < entry.size(); cut++) {
      PayloadBuilder b;
      b.ChosenFolderGroup("BAK");
      b.AddRawEntry(entry.substr(0, cut));
      b.OmitGroupEnd();
      ASSERT_TRUE(ps.Load(b, &at));
      uint8_t kind;
      EXPECT_FALSE(ReadAt(0, &kind))
          << "kind " << (int)entry[0] << " cut at " << cut;
    }
  }
}

// Names decide where files are written and moved: they must stay inside
// the folder they are joined to.
TEST(PayloadNames, OnlyRelativeNamesInsideTheFolderPass) {
  struct Case {
    std::string name;
    bool inside;
  };
  const Case cases[] = {
      {"a.txt", true},
      {"sub\\a.txt", true},
      {"sub/deeper/a.txt", true},
      {"a\\.\\b", true},
      {"..b", true},
      {"b..", true},
      {"x\\.hidden", true},
      {"a b\\c d", true},
      {"\xB3\x5C\xA5\x69.txt", true},  // Big5 with a 0x5C trail byte
      {"\xB3\x5C\\a.txt", true},       // 許\a.txt
      {"\xB3\x5C", true},
      {"sub\\\xA5\x5C\\\xBB\x5C.dll", true},
      {"\xB3\x5C\\..\\x", false},
      // Refused on purpose: where the ANSI code page is not 950, the 0x5C
      // is a separator and the name climbs out of the folder.
      {"\xB3\x5C..\\x", false},
      {"\xB3\x5C. .", false},
      {"", false},
      {".", false},
      {".\\", false},
      {"./.", false},
      {" ", false},
      {"\\a", false},
      {"/a", false},
      {"\\\\server\\share\\a", false},
      {"C:\\a", false},
      {"C:a", false},
      {"c:", false},
      {"..", false},
      {"..\\a", false},
      {"../a", false},
      {"a\\..\\..\\b", false},
      {"a/../b", false},
      {"a\\..", false},
      {"a\\..\\", false},
      {"...", false},
      {".. \\a", false},
      {"a\\. .\\b", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PayloadNameStaysInside(c.name.data(), (int32_t)c.name.size()),
              c.inside)
        << "\"" << c.name << "\"";
}

// The reader refuses such names in every place a name is read, before any
// pass sees the entry.
TEST_F(EntryHeader, NamesThatLeaveTheFolderAreRefusedWhereverTheyStand) {
  const std::string bad[] = {"", "..\\x", "C:\\x", "\\x", "a/../../x"};
  for (const std::string& name : bad) {
    PatchedFile as_entry;
    as_entry.name = name;
    PatchedFile as_source;
    as_source.name = "ok";
    as_source.sources.push_back(Source("", 0, 0, {"", "", "", "", ""}));
    as_source.sources.push_back(Source(name, 0, 0, {"", "", "", "", ""}));
    std::vector<std::string> entries = {
        writer::EncodePatchedEntry(as_entry),
        writer::EncodeNewFileEntry(writer::NewFile{name, "x"}),
        writer::EncodeRemovedEntry(name),
    };
    // An empty source name is the entry name and fine.
    if (!name.empty()) entries.push_back(writer::EncodePatchedEntry(as_source));
    for (size_t i = 0; i < entries.size(); i++) {
      LoadEntries({entries[i]});
      uint8_t kind;
      EXPECT_FALSE(ReadAt(0, &kind)) << "\"" << name << "\" in entry " << i;
    }
  }
}

// The builder's bytes, checked against a payload written out by hand.
TEST(PayloadBuilderBytes, OneGroupPayloadByteForByte) {
  PayloadBuilder b;
  b.SetTexts("N", "DD");
  b.RegistryGroup(kHkeyLocalMachine, "K", "", "B");
  writer::NewFile nf{"n", "Z", 0x01020304, 0x0506};
  b.AddNewFile(nf);
  b.AddRemoved("r");
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser, "s", "v", 9, 8)
                    .OpenKey(kHkeyLocalMachine, "o")
                    .SetValue("x", kRegBinary, "q")
                    .Raw("\x07"));
  PayloadLayout at;
  const std::string got = b.Build(&at);
  static const char kWant[] =
      "N" "DD"                                        // texts
      "\x01\x00" "\x02\x00\x00\x80" "\x01K" "\x00"  // registry group
      "\x01" "B"                                      // backup folder name
      "\x02" "\x01n" "\x01\x00\x00\x00" "\x04\x03\x02\x01" "\x06\x05" "Z"
      "\x03" "\x01r"
      "\x05" "\x22\x00\x00\x00"                      // 34-byte script:
      "\x01\x00\x00\x80" "\x01s" "\x01v" "\x09\x00\x00\x00" "\x08"
      "\x01" "\x02\x00\x00\x80" "\x01o"
      "\x02" "\x01x" "\x03\x00\x00\x00" "\x01\x00\x00\x00" "q"
      "\x07" "\x00"
      "\x00";                                         // end of group
  EXPECT_EQ(got, std::string(kWant, sizeof kWant - 1));
  EXPECT_EQ(at.group_table_pos, 3u);
  EXPECT_EQ(at.body_pos, std::vector<uint32_t>{12});
  EXPECT_EQ(b.notice_length(), 1);
  EXPECT_EQ(b.description_length(), 2);
}

}  // namespace
