// The maker's own readers: JSON, the manifest, UTF-8 to code page 950 for
// names and texts, and zopfli over parts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maker/cp950.h"
#include "maker/json.h"
#include "maker/make_patch.h"
#include "maker/manifest.h"
#include "maker/raw_deflate.h"
#include "maker/tree.h"

namespace {

using maker::Json;

TEST(Json, ReadsValuesAndReportsWhereItBreaks) {
  Json v = maker::ParseJson(
      " {\"a\": [1, -2.5e1, \"x\\u00e9\\ud83d\\ude00\\n\", true, null],"
      " \"b\": {}}");
  ASSERT_EQ(v.kind, Json::kObject);
  const Json* a = v.Find("a");
  ASSERT_TRUE(a);
  ASSERT_EQ(a->items.size(), 5u);
  EXPECT_TRUE(a->items[0].integral);
  EXPECT_EQ(a->items[0].integer, 1);
  EXPECT_FALSE(a->items[1].integral);
  EXPECT_DOUBLE_EQ(a->items[1].number, -25);
  EXPECT_EQ(a->items[2].text, "x\xC3\xA9\xF0\x9F\x98\x80\n");
  EXPECT_TRUE(a->items[3].b);
  EXPECT_EQ(a->items[4].kind, Json::kNull);
  EXPECT_EQ(v.Find("b")->kind, Json::kObject);
  EXPECT_EQ(v.Find("c"), nullptr);

  struct Bad {
    const char* text;
    const char* where;  // start of the message
  } bad[] = {
      {"", "line 1, column 1"},
      {"{\"a\": 1,\n \"a\": 2}", "line 2, column 2"},  // repeated key
      {"[1, 2", "line 1, column 6"},
      {"[01]", "line 1, column 3"},
      {"\"tab\there\"", "line 1, column 5"},
      {"\"\\ud800x\"", "line 1, column"},
      {"{\"a\" 1}", "line 1, column 6"},
      {"[1] [2]", "line 1, column 5"},
      {"tru", "line 1, column 1"},
  };
  for (const Bad& b : bad) {
    try {
      maker::ParseJson(b.text);
      ADD_FAILURE() << b.text << " was accepted";
    } catch (const maker::JsonError& e) {
      EXPECT_EQ(std::string(e.what()).compare(0, strlen(b.where), b.where), 0)
          << b.text << ": " << e.what();
    }
  }
  // Deep nesting is refused, not a stack overflow.
  EXPECT_THROW(maker::ParseJson(std::string(100000, '[')), maker::JsonError);
}

TEST(Manifest, ReadsGroupsRulesAndRegistryScripts) {
  maker::Manifest m = maker::ParseManifest(R"({
    "backup": "舊版",
    "groups": [
      {"target": "chosen", "files": {
         "bin\\app.exe": {"optional": true, "quiet": true,
                          "hole": [16, 8], "source_holes": [[1, 2], [3, 4]],
                          "stamp": "2024-05-06 07:08:10"},
         "x.dll": {"stamp": "none"}, "y.dll": {"stamp": 1234}}},
      {"target": "registry", "root": "HKLM", "subkey": "Software\\V",
       "value": "Path", "folder": "reg/", "backup": "BK",
       "registry": [{"check": {"root": "HKEY_CURRENT_USER", "subkey": "S",
                               "value": "P"},
                     "ops": [{"open": {"root": "0x80000002", "subkey": "K"}},
                             {"set": {"name": "s", "type": "REG_SZ",
                                      "string": "中"}},
                             {"set": {"name": "d", "type": "REG_DWORD",
                                      "dword": 258}},
                             {"set": {"name": "e", "type": 5, "dword": 258}},
                             {"set": {"name": "m", "type": "REG_MULTI_SZ",
                                      "strings": ["a", "b"]}},
                             {"set": {"name": "h", "type": "REG_BINARY",
                                      "hex": "00 ff,10"}}]}]},
      {"target": 2, "folder": "win"},
      {"target": "system", "folder": "win/system32"}
    ]})",
                                           "m.json");
  EXPECT_EQ(m.backup, "\xC2\xC2\xAA\xA9");
  ASSERT_EQ(m.groups.size(), 4u);
  const maker::FileRule& r = m.groups[0].files.at("bin/app.exe");
  EXPECT_TRUE(r.optional && r.quiet && r.has_hole && r.has_source_holes);
  EXPECT_EQ(r.hole.offset, 16u);
  EXPECT_EQ(r.hole.length, 8u);
  ASSERT_EQ(r.source_holes.size(), 2u);
  EXPECT_EQ(r.source_holes[1].offset, 3u);
  // 2024-05-06 07:08:10: date (44 << 9 | 5 << 5 | 6), time (7 << 11 | 8 << 5
  // | 5).
  EXPECT_EQ(r.stamp, (uint32_t)(44 << 9 | 5 << 5 | 6) << 16 |
                         (7 << 11 | 8 << 5 | 5));
  EXPECT_TRUE(m.groups[0].files.at("x.dll").stamp_given);
  EXPECT_EQ(m.groups[0].files.at("x.dll").stamp, 0u);
  EXPECT_EQ(m.groups[0].files.at("y.dll").stamp, 1234u);

  const maker::GroupSpec& g = m.groups[1];
  EXPECT_EQ(g.kind, 1);
  EXPECT_EQ(g.root, 0x80000002u);
  EXPECT_EQ(g.subkey, "Software\\V");
  EXPECT_EQ(g.folder, "reg");
  EXPECT_EQ(g.backup, "BK");
  ASSERT_EQ(g.registry.size(), 1u);
  const maker::RegistrySpec& s = g.registry[0];
  EXPECT_EQ(s.check_root, 0x80000001u);
  ASSERT_EQ(s.ops.size(), 6u);
  EXPECT_TRUE(s.ops[0].open);
  EXPECT_EQ(s.ops[0].root, 0x80000002u);
  EXPECT_EQ(s.ops[1].type, 1u);
  EXPECT_EQ(s.ops[1].data, std::string("\xA4\xA4\0", 3));
  EXPECT_EQ(s.ops[2].data, std::string("\x02\x01\0\0", 4));
  EXPECT_EQ(s.ops[3].data, std::string("\0\0\x01\x02", 4));  // big-endian
  EXPECT_EQ(s.ops[4].data, std::string("a\0b\0\0", 5));
  EXPECT_EQ(s.ops[5].data, std::string("\x00\xff\x10", 3));
  EXPECT_EQ(m.groups[2].kind, 2);
  EXPECT_EQ(m.groups[3].kind, 3);
  EXPECT_EQ(m.groups[3].folder, "win/system32");
}

TEST(Manifest, RefusesWhatTheApplierCouldNotUse) {
  struct Bad {
    const char* json;
    const char* says;
  } bad[] = {
      {R"({"grups": []})", "unknown member \"grups\""},
      {R"({"groups": [{"files": {"a": {"optinal": true}}}]})",
       "unknown member \"optinal\""},
      {R"({"groups": []})", "must not be empty"},
      {R"({"groups": [{"target": "registry", "subkey": "S"}]})",
       "\"root\" is missing"},
      {R"({"groups": [{"target": "windows", "root": "HKLM"}]})",
       "registry targets only"},
      {R"({"groups": [{"target": 4}]})", "0 to 3"},
      {R"({"groups": [{"folder": "a/../b"}]})", "plain relative path"},
      {R"({"groups": [{}, {}]})", "two groups with the folder"},
      {R"({"groups": [{"files": {"a": {"hole": [1]}}}]})", "[offset, length]"},
      {R"({"groups": [{"files": {"a": {"stamp": "1979-01-01 00:00:00"}}}]})",
       "between 1980 and 2107"},
      {R"({"groups": [{"files": {"a": {"stamp": -1}}}]})", "a stamp must be"},
      {R"({"backup": "é"})", "no code page 950 form"},
      {R"({"groups": [{"registry": [{"check": {"root": "HKXX",
          "subkey": "S"}}]}]})",
       "unknown registry root"},
      {R"({"groups": [{"registry": [{"check": {"root": "HKLM", "subkey": "S"},
          "ops": [{"set": {"name": "v", "type": "REG_SZ"}}]}]}]})",
       "exactly one of"},
      {R"({"groups": [{"registry": [{"check": {"root": "HKLM", "subkey": "S"},
          "ops": [{"set": {"type": 3, "hex": "0g"}}]}]}]})",
       "non-hex digit"},
  };
  for (const Bad& b : bad) {
    try {
      maker::ParseManifest(b.json, "m.json");
      ADD_FAILURE() << b.json << " was accepted";
    } catch (const maker::MakeError& e) {
      EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos)
          << b.json << ": " << e.what();
      EXPECT_EQ(std::string(e.what()).compare(0, 7, "m.json:"), 0) << e.what();
    }
  }
  // More data than the applier's 1001-byte buffer.
  std::string big = "{\"groups\": [{\"registry\": [{\"check\": {\"root\": "
                    "\"HKLM\", \"subkey\": \"S\"}, \"ops\": [{\"set\": "
                    "{\"type\": 3, \"hex\": \"" +
                    std::string(2004, 'a') + "\"}}]}]}]}";
  EXPECT_THROW(maker::ParseManifest(big, "m.json"), maker::MakeError);
  // 21 groups.
  std::string many = "{\"groups\": [";
  for (int i = 0; i < 21; i++)
    many += std::string(i ? "," : "") + "{\"folder\": \"g" + std::to_string(i) +
            "\"}";
  many += "]}";
  EXPECT_THROW(maker::ParseManifest(many, "m.json"), maker::MakeError);
}

TEST(Cp950, ConvertsNamesAndTextsOrSaysWhereNot) {
  // 許 and 功 end in 0x5C, the byte of '\'.
  EXPECT_EQ(maker::Utf8ToCp950("a許功.txt"), "a\xB3\x5C\xA5\x5C.txt");
  EXPECT_EQ(maker::PayloadName("子資料夾/許.dll"),
            "\xA4\x6C\xB8\xEA\xAE\xC6\xA7\xA8\\\xB3\x5C.dll");
  try {
    maker::Utf8ToCp950("ok\nstill ok\nnot ok: \xC3\xA9");
    ADD_FAILURE();
  } catch (const maker::TextError& e) {
    EXPECT_STREQ(e.what(), "line 3: U+00E9 '\xC3\xA9' has no code page 950 form");
  }
  EXPECT_THROW(maker::Utf8ToCp950("\xFF"), maker::TextError);
  EXPECT_THROW(maker::Utf8ToCp950("\xC0\xAF"), maker::TextError);  // overlong
  // 128 Chinese characters are 256 bytes: one more than a name may take.
  std::string long_name;
  for (int i = 0; i < 127; i++) long_name += "中";
  EXPECT_EQ(maker::PayloadName(long_name + "a").size(), 255u);
  EXPECT_THROW(maker::PayloadName(long_name + "中"), maker::MakeError);
  EXPECT_THROW(maker::PayloadName("x/\xC3\xA9.txt"), maker::MakeError);
}

TEST(Cp950, TextsTakeTheApplierLineBreaks) {
  EXPECT_EQ(maker::PayloadText("\xEF\xBB\xBF" "一\r\n二\n\n", "n.txt", true),
            std::string("\xA4\x40\0\xA4\x47", 5));
  EXPECT_EQ(maker::PayloadText("a\rb", "d.txt", false), std::string("a\0b", 3));
  struct Bad {
    std::string text;
    bool notice;
    const char* says;
  } bad[] = {
      {"one\ntwo #% three", true, "n.txt: line 2: \"#%\""},
      {"x\n\xC3\xA9", false, "n.txt: line 2: U+00E9"},
      {std::string(1001, 'x'), true, "at most 1000"},
      {std::string("a\0b", 3), false, "NUL"},
  };
  for (const Bad& b : bad) {
    try {
      maker::PayloadText(b.text, "n.txt", b.notice);
      ADD_FAILURE() << b.says;
    } catch (const maker::MakeError& e) {
      EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos)
          << e.what();
    }
  }
  // "#%" ends only the notice; the description shows it.
  EXPECT_EQ(maker::PayloadText("50#%", "d.txt", false), "50#%");
  EXPECT_EQ(maker::PayloadText(std::string(1000, 'x'), "n.txt", true).size(),
            1000u);
}

TEST(RawDeflate, ZopfliPartsJoinIntoOneStream) {
  std::vector<uint8_t> data;
  uint32_t x = 1;
  for (size_t i = 0; i < 150000; i++) {  // three parts of 64 KiB
    x = x * 1103515245 + 12345;
    data.push_back((uint8_t)((x >> 16) % (i % 3000 < 1500 ? 4 : 251)));
  }
  for (size_t size : {(size_t)0, (size_t)1, (size_t)70000, data.size()}) {
    std::vector<uint8_t> one =
        maker::DeflateZopfliParts(data.data(), size, 1, 1, 1 << 16);
    std::vector<uint8_t> back;
    ASSERT_TRUE(maker::InflateRaw(one.data(), one.size(), &back)) << size;
    EXPECT_TRUE(back == std::vector<uint8_t>(data.begin(), data.begin() + size))
        << size;
    if (size == data.size()) {
      EXPECT_EQ(maker::DeflateZopfliParts(data.data(), size, 1, 3, 1 << 16), one);
    }
  }
}

// The parse and the block writer are ours: every kind of input must
// inflate back, across part seams (matches reach into the part before),
// with one block or many, and the bytes must not depend on the thread
// count.
TEST(RawDeflate, SplitBlocksInflateBackWhateverTheThreads) {
  std::vector<uint8_t> mixed;
  uint32_t x = 7;
  for (size_t i = 0; i < 80000; i++) {
    x = x * 1103515245 + 12345;
    uint8_t b = (uint8_t)(x >> 16);
    switch ((i / 2500) % 4) {
      case 0: mixed.push_back(b); break;                   // no matches
      case 1: mixed.push_back(0); break;                   // one long run
      case 2: mixed.push_back((uint8_t)(i % 24 == 0 ? b : i % 7)); break;
      default: mixed.push_back((uint8_t)(b % 3)); break;   // few symbols
    }
  }
  std::vector<uint8_t> one_symbol(40000, 'a');
  struct Case {
    const std::vector<uint8_t>* data;
    size_t size;
    size_t part;
    int max_blocks;
    bool optimal;
  } cases[] = {
      {&mixed, 0, 1 << 20, 100, true},
      {&mixed, 1, 1 << 20, 100, true},
      {&mixed, 2, 1 << 20, 100, true},
      {&mixed, 3, 1 << 20, 100, true},
      {&mixed, mixed.size(), 1 << 20, 100, true},
      {&mixed, mixed.size(), 1 << 20, 100, false},
      {&mixed, mixed.size(), 1 << 15, 100, true},
      {&mixed, mixed.size(), 1 << 15, 1, true},
      {&mixed, 40001, 1 << 14, 15, false},
      {&one_symbol, 40000, 1 << 14, 100, true},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out = maker::DeflateSplitBlocks(
        c.data->data(), c.size, 1, c.part, c.max_blocks, c.optimal);
    std::vector<uint8_t> back;
    ASSERT_TRUE(maker::InflateRaw(out.data(), out.size(), &back))
        << c.size << " " << c.part;
    EXPECT_TRUE(back ==
                std::vector<uint8_t>(c.data->begin(), c.data->begin() + c.size))
        << c.size << " " << c.part;
    EXPECT_EQ(maker::DeflateSplitBlocks(c.data->data(), c.size, 3, c.part,
                                        c.max_blocks, c.optimal),
              out)
        << c.size << " " << c.part;
  }
}

TEST(Tree, StampsAreLocalDosTime) {
  struct tm tm = {};
  tm.tm_year = 2001 - 1900;
  tm.tm_mon = 1;
  tm.tm_mday = 3;
  tm.tm_hour = 4;
  tm.tm_min = 5;
  tm.tm_sec = 7;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  EXPECT_EQ(maker::DosStampOf(t),
            (uint32_t)(21 << 9 | 2 << 5 | 3) << 16 | (4 << 11 | 5 << 5 | 3));
  uint32_t s;
  ASSERT_TRUE(maker::ParseStampText("2001-02-03 04:05:07", &s));
  EXPECT_EQ(s, maker::DosStampOf(t));
  EXPECT_EQ(maker::DosStampOf(0), (uint32_t)(1 << 5 | 1) << 16);  // 1970
}

}  // namespace
