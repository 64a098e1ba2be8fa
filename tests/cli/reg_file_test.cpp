// REGEDIT4 text in and out of the in-memory registry.
#include "cli/reg_file.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/posix_registry.h"

namespace {

struct Value {
  bool present = false;
  uint32_t type = 0;
  std::string data;
};

Value Get(RegKey root, const char* key, const char* name) {
  Value v;
  char buf[4096];
  uint32_t size = sizeof buf;
  v.present = PosixRegGetValue(root, key, name, &v.type, buf, &size);
  if (v.present) v.data.assign(buf, size);
  return v;
}

class RegFileTest : public testing::Test {
 protected:
  void SetUp() override { PosixRegClear(); }
  void TearDown() override { PosixRegClear(); }
};

TEST_F(RegFileTest, ReadsEveryValueForm) {
  std::string error;
  ASSERT_TRUE(
      ApplyRegText("REGEDIT4\r\n"
                   "\r\n"
                   "; a comment\r\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n"
                   "\"Path\"=\"C:\\\\Program Files\\\\App\"\r\n"
                   "@=\"the \\\"default\\\"\"\r\n"
                   "\"Count\"=dword:0000010a\r\n"
                   "\"Blob\"=hex:01,02,ff\r\n"
                   "\"Long\"=hex:00,01,02,\\\r\n"
                   "  03,04\r\n"
                   "\"Expand\"=hex(2):25,00\r\n"
                   "\"Odd\"=hex(1234):aa\r\n"
                   "\"Empty\"=hex:\r\n"
                   "\r\n"
                   "[HKCU\\Software\\Other]\n"
                   "\"Big5\"=\"\xa4\xa4\xa4\xe5\"\n",
                   &error))
      << error;
  const char* app = "SOFTWARE\\Vendor\\App";
  struct Want {
    const char* name;
    uint32_t type;
    std::string data;
  };
  for (const Want& w : {
           Want{"Path", kRegSz, std::string("C:\\Program Files\\App") + '\0'},
           Want{"", kRegSz, std::string("the \"default\"") + '\0'},
           Want{"Count", kRegDword, std::string("\x0a\x01\x00\x00", 4)},
           Want{"Blob", kRegBinary, "\x01\x02\xff"},
           Want{"Long", kRegBinary, std::string("\x00\x01\x02\x03\x04", 5)},
           Want{"Expand", kRegExpandSz, std::string("%\0", 2)},
           Want{"Odd", 0x1234, "\xaa"},
           Want{"Empty", kRegBinary, ""},
       }) {
    SCOPED_TRACE(w.name);
    Value v = Get(kHkeyLocalMachine, app, w.name);
    EXPECT_TRUE(v.present);
    EXPECT_EQ(v.type, w.type);
    EXPECT_EQ(v.data, w.data);
  }
  // Bytes are taken as they stand (code page 950 here).
  EXPECT_EQ(Get(kHkeyCurrentUser, "Software\\Other", "Big5").data,
            std::string("\xa4\xa4\xa4\xe5") + '\0');
}

// Only hex lists continue on the next line: a comment that happens to end
// with a backslash keeps the value after it.
TEST_F(RegFileTest, ACommentEndingInABackslashDoesNotContinue) {
  std::string error;
  ASSERT_TRUE(ApplyRegText("REGEDIT4\r\n"
                           "[HKCU\\Software\\App]\r\n"
                           "; the hex values follow \\\r\n"
                           "\"Count\"=dword:00000002\r\n",
                           &error))
      << error;
  EXPECT_EQ(Get(kHkeyCurrentUser, "Software\\App", "Count").data,
            std::string("\x02\x00\x00\x00", 4));
}

TEST_F(RegFileTest, WritesWhatItReadsBack) {
  ASSERT_TRUE(PosixRegCreateKey(kHkeyCurrentUser, "Software\\Empty\\Key"));
  std::string big(200, '\x5a');
  ASSERT_TRUE(PosixRegSetValue(kHkeyLocalMachine, "SOFTWARE\\V", "Big",
                               kRegBinary, big.data(), (uint32_t)big.size()));
  std::string two_lines("a\r\nb", 5);
  ASSERT_TRUE(PosixRegSetValue(kHkeyLocalMachine, "SOFTWARE\\V", "Lines",
                               kRegSz, two_lines.data(), 5));
  ASSERT_TRUE(PosixRegSetValue(kHkeyLocalMachine, "SOFTWARE\\V", "Quote",
                               kRegSz, "a\"b\\c", 6));
  ASSERT_TRUE(
      PosixRegSetValue(kHkeyLocalMachine, "SOFTWARE\\V", "", kRegSz, "d", 2));
  ASSERT_TRUE(PosixRegSetValue(kHkeyLocalMachine, "SOFTWARE\\V", "NoNul",
                               kRegSz, "abc", 3));
  ASSERT_TRUE(PosixRegSetValue(kHkeyLocalMachine, "SOFTWARE\\V", "Dw",
                               kRegDword, "\x01\x02\x03\x04", 4));
  std::string text = RegText();
  EXPECT_EQ(text.compare(0, 10, "REGEDIT4\r\n"), 0);
  EXPECT_NE(text.find("\"Quote\"=\"a\\\"b\\\\c\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Dw\"=dword:04030201\r\n"), std::string::npos);
  EXPECT_NE(text.find("@=\"d\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Empty\\Key]\r\n"),
            std::string::npos);
  // No line is longer than regedit writes them.
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    start = end + 2;
  }

  PosixRegClear();
  std::string error;
  ASSERT_TRUE(ApplyRegText(text, &error)) << error << "\n" << text;
  EXPECT_EQ(RegText(), text);
  EXPECT_EQ(Get(kHkeyLocalMachine, "SOFTWARE\\V", "Lines").data, two_lines);
  EXPECT_EQ(Get(kHkeyLocalMachine, "SOFTWARE\\V", "NoNul").data, "abc");
  EXPECT_TRUE(PosixRegKeyExists(kHkeyCurrentUser, "Software\\Empty\\Key"));
}

TEST_F(RegFileTest, RemovesKeysAndValues) {
  std::string error;
  ASSERT_TRUE(
      ApplyRegText("REGEDIT4\n[HKCU\\A\\B]\n\"x\"=\"1\"\n\"y\"=\"2\"\n"
                   "[HKCU\\A\\B]\n\"x\"=-\n[-HKCU\\A\\C]\n",
                   &error))
      << error;
  EXPECT_FALSE(Get(kHkeyCurrentUser, "A\\B", "x").present);
  EXPECT_TRUE(Get(kHkeyCurrentUser, "A\\B", "y").present);
  ASSERT_TRUE(ApplyRegText("REGEDIT4\n[-HKEY_CURRENT_USER\\A]\n", &error));
  EXPECT_FALSE(PosixRegKeyExists(kHkeyCurrentUser, "A"));
}

TEST_F(RegFileTest, RefusesMalformedLinesWithTheirNumber) {
  struct Case {
    const char* text;
    const char* where;
  };
  const Case cases[] = {
      {"", "line 1"},
      {"Windows Registry Editor Version 5.00\n", "line 1"},
      {"REGEDIT4\n\"x\"=\"1\"\n", "line 2"},
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", "line 2"},
      {"REGEDIT4\n[HKCU\\A\n", "line 2"},
      {"REGEDIT4\n[HKCU\\A]\n\"x\"=hex:1,02\n", "line 3"},
      {"REGEDIT4\n[HKCU\\A]\n\"x\"=dword:123456789\n", "line 3"},
      {"REGEDIT4\n[HKCU\\A]\n\"x\"=\"open\n", "line 3"},
      {"REGEDIT4\n[HKCU\\A]\n\"x\"=word:1\n", "line 3"},
      {"REGEDIT4\n[HKCU\\A]\nx=\"1\"\n", "line 3"},
      {"REGEDIT4\n[HKCU\\A]\n\"a\"=hex:01,\\\n  02\n\"b\"=hex:zz\n", "line 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    EXPECT_FALSE(ApplyRegText(c.text, &error));
    EXPECT_EQ(error.compare(0, strlen(c.where), c.where), 0) << error;
  }
}

}  // namespace
