// How the host table turns the core's code page 950 names into Linux names
// (UTF-8) and back: the conversions themselves, names that have no faithful
// form, the paths the table hands out, and registry key names.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/str.h"
#include "fsutil/fsutil.h"
#include "platform/platform.h"
#include "platform/posix_hooks.h"
#include "platform/posix_registry.h"
#include "support/scratch_dir.h"

namespace {

const Platform* Os() { return PlatformNative(); }

// 許 and 功 end in the trail byte 0x5C; 中 (A4 A4) does not.
const std::string kXu = "\xB3\x5C", kXuU8 = "\xE8\xA8\xB1";
const std::string kGong = "\xA5\x5C", kGongU8 = "\xE5\x8A\x9F";
const std::string kZhong = "\xA4\xA4", kZhongU8 = "\xE4\xB8\xAD";

std::string ForHost(const std::string& cp950, int32_t cap = 8192) {
  std::vector<char> buf((size_t)cap);
  int32_t n = PosixPathForHost(cp950.c_str(), buf.data(), cap);
  return n < 0 ? "<none>" : std::string(buf.data(), (size_t)n);
}

std::string ForCore(const std::string& host, int32_t cap = 8192) {
  std::vector<char> buf((size_t)cap);
  int32_t n = PosixPathForCore(host.c_str(), buf.data(), cap);
  return n < 0 ? "<none>" : std::string(buf.data(), (size_t)n);
}

class PosixBig5 : public testing::Test {
 protected:
  void SetUp() override { PosixResetSettings(); }
  void TearDown() override {
    PosixResetSettings();
    PosixRegClear();
  }
};

TEST_F(PosixBig5, CoreNamesBecomeUtf8WithOnlyRealSeparatorsTurned) {
  struct Case {
    std::string cp950;
    std::string host;
  };
  const Case cases[] = {
      {"C:\\App\\f.dll", "C:/App/f.dll"},
      {"a/b\\c", "a/b/c"},
      {"", ""},
      {"C:\\" + kXu + "\\f.dll", "C:/" + kXuU8 + "/f.dll"},
      {kXu + kGong, kXuU8 + kGongU8},  // 許功: one name
      {kZhong + "\\" + kXu, kZhongU8 + "/" + kXuU8},
      {"\xA3\xE1", "\xE2\x82\xAC"},  // €
      // No code page 950 reading: passed on as they are, a pair whole, so
      // its 0x5C is not a separator either.
      {"\x81\x40\\x", "\x81\x40/x"},  // a user-defined character
      {"\x81\x5C", "\x81\x5C"},
      {"\xFF\\x", "\xFF/x"},
      {"abc\xB3", "abc\xB3"},  // a lead byte at the end
      {"\xB3/x", "\xB3/x"},    // a lead byte before '/'
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.cp950));
    EXPECT_EQ(ForHost(c.cp950), c.host);
  }
}

TEST_F(PosixBig5, LinuxNamesReachTheCoreOnlyWhenTheyLeadBack) {
  struct Case {
    std::string host;
    std::string cp950;  // "<none>": refused
  };
  const Case cases[] = {
      {"/tmp/app", "/tmp/app"},
      {"/tmp/" + kXuU8 + "/f.dll", "/tmp/" + kXu + "/f.dll"},
      {kZhongU8 + kGongU8, kZhong + kGong},
      {"\xE2\x82\xAC", "\xA3\xE1"},
      // Not UTF-8 (Latin-1 café): kept, and read back the same.
      {"/tmp/caf\xE9", "/tmp/caf\xE9"},
      // é has no code page 950 form, and its bytes C3 A9 read as 矇.
      {"/tmp/caf\xC3\xA9", "<none>"},
      // A '\' inside a Linux name would be taken for a separator.
      {"/tmp/a\\b", "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.host));
    EXPECT_EQ(ForCore(c.host), c.cp950);
  }
}

// Two bytes of code page 950 may need three of UTF-8, one byte (0x80) two:
// the longest path the core holds still converts whole, and a buffer that
// is too small is refused, never filled with a cut name.
TEST_F(PosixBig5, ConversionsNeverCutAName) {
  std::string big5;
  while (big5.size() + 2 < kStrCap) big5 += kXu;
  std::string utf8;
  for (size_t i = 0; i < big5.size() / 2; i++) utf8 += kXuU8;
  EXPECT_EQ(ForHost(big5), utf8);
  EXPECT_EQ(ForCore(utf8), big5);
  EXPECT_EQ(ForHost(std::string(100, '\x80')).size(), 200u);

  EXPECT_EQ(ForHost(kXu + kXu, 7), kXuU8 + kXuU8);
  EXPECT_EQ(ForHost(kXu + kXu, 6), "<none>");
  EXPECT_EQ(ForCore(kXuU8 + kXuU8, 5), kXu + kXu);
  EXPECT_EQ(ForCore(kXuU8 + kXuU8, 4), "<none>");
}

TEST_F(PosixBig5, FileCallsUseTheUtf8Name) {
  ScratchDir dir;
  const std::string root = dir.path();
  const std::string folder = root + "\\" + kXu;
  ASSERT_TRUE(Os()->create_folder(folder.c_str()));
  EXPECT_TRUE(dir.IsFolder(kXuU8));
  EXPECT_EQ(Os()->get_attributes(folder.c_str()), kAttrDirectory);

  // A user-defined character and a 0xFF byte reach the disk as they are.
  const std::string names[] = {kGong, "\x81\x40", "\xFF"};
  for (const std::string& name : names) {
    SCOPED_TRACE(testing::PrintToString(name));
    const std::string file = folder + "\\" + name + ".txt";
    PlatformFile f = Os()->open_file(file.c_str(), kCreateNewFile);
    ASSERT_NE(f, nullptr);
    Os()->close(f);
    const std::string host_name = name == kGong ? kGongU8 : name;
    EXPECT_TRUE(dir.IsFile(kXuU8 + "/" + host_name + ".txt"));
    const std::string moved = folder + "\\" + kZhong + name + ".txt";
    ASSERT_TRUE(Os()->move_file(file.c_str(), moved.c_str()));
    EXPECT_TRUE(dir.IsFile(kXuU8 + "/" + kZhongU8 + host_name + ".txt"));
    ASSERT_TRUE(Os()->set_attributes(moved.c_str(), kAttrReadOnly));
    EXPECT_FALSE(Os()->delete_file(moved.c_str()));
    ASSERT_TRUE(Os()->set_attributes(moved.c_str(), kAttrNormal));
    EXPECT_TRUE(Os()->delete_file(moved.c_str()));
  }
  EXPECT_TRUE(Os()->remove_folder(folder.c_str()));
  EXPECT_TRUE(dir.Snapshot().empty());
}

// What the table hands out is code page 950; a folder that has no faithful
// code page 950 name is not handed out at all.
TEST_F(PosixBig5, PathsHandedOutAreCodePage950) {
  ScratchDir dir;
  dir.MakeFolder(kXuU8);
  dir.MakeFolder("caf\xC3\xA9");
  char before[4096];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);

  char buf[4096];
  ASSERT_EQ(chdir(dir.Path(kXuU8).c_str()), 0);
  int32_t n = Os()->current_folder(buf, sizeof buf);
  std::string in_xu(buf, n > 0 ? (size_t)n : 0);
  ASSERT_EQ(chdir(dir.Path("caf\xC3\xA9").c_str()), 0);
  n = Os()->current_folder(buf, sizeof buf);
  ASSERT_EQ(chdir(before), 0);
  EXPECT_EQ(in_xu, dir.path() + "/" + kXu);
  EXPECT_EQ(n, 0);

  PosixSetOwnPath(("/opt/" + kXuU8 + "/patch.exe").c_str());
  PosixSetWindowsFolder(("/srv/" + kGongU8).c_str());
  PosixSetSystemFolder("C:\\WINDOWS\\SYSTEM");  // a '\' may stand for '/'
  EXPECT_EQ(Os()->own_path(buf, sizeof buf), 17);
  EXPECT_STREQ(buf, ("/opt/" + kXu + "/patch.exe").c_str());
  ASSERT_GT(Os()->windows_folder(buf, sizeof buf), 0);
  EXPECT_STREQ(buf, ("/srv/" + kGong).c_str());
  ASSERT_GT(Os()->system_folder(buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "C:\\WINDOWS\\SYSTEM");
  // Too small a buffer fails rather than cut the name.
  EXPECT_EQ(Os()->own_path(buf, 17), 0);
  PosixSetWindowsFolder("/srv/caf\xC3\xA9");
  EXPECT_EQ(Os()->windows_folder(buf, sizeof buf), 0);

  // The command line is text, not a name: what has no code page 950 form
  // is kept as it is.
  PosixSetCommandLine(("patch.exe " + kXuU8 + " caf\xC3\xA9").c_str());
  EXPECT_EQ(std::string(Os()->command_line()),
            "patch.exe " + kXu + " caf\xC3\xA9");
}

// Key names split at '\' characters only, and letters compare without
// case, but a trail byte in the letter range is no letter.
TEST_F(PosixBig5, RegistryKeyNamesKeepTheirCharacters) {
  ASSERT_TRUE(PosixRegSetValue(kHkeyCurrentUser, ("Software\\" + kXu + "\\App").c_str(),
                               "Dir", kRegSz, "x", 2));
  std::vector<std::string> keys;
  PosixRegVisit(
      [](void* ctx, RegKey, const char* path, const PosixRegValue* v) {
        if (!v) static_cast<std::vector<std::string>*>(ctx)->push_back(path);
      },
      &keys);
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "Software", "Software\\" + kXu,
                      "Software\\" + kXu + "\\App"}));

  RegKey key = 0;
  ASSERT_TRUE(Os()->reg_open(kHkeyCurrentUser,
                             ("SOFTWARE\\" + kXu + "\\app").c_str(), kKeyRead,
                             &key));
  Os()->reg_close(key);

  // A4 61 and A4 41 are two characters, whatever ASCII case would say.
  const std::string lower = "\xA4\x61", upper = "\xA4\x41";
  ASSERT_TRUE(PosixRegCreateKey(kHkeyCurrentUser, lower.c_str()));
  EXPECT_FALSE(PosixRegKeyExists(kHkeyCurrentUser, upper.c_str()));
  ASSERT_TRUE(PosixRegSetValue(kHkeyCurrentUser, "K", lower.c_str(), kRegSz,
                               "1", 2));
  uint32_t size = 8;
  char data[8];
  EXPECT_FALSE(PosixRegGetValue(kHkeyCurrentUser, "K", upper.c_str(), nullptr,
                                data, &size));
  EXPECT_TRUE(PosixRegDeleteKey(kHkeyCurrentUser, ("Software\\" + kXu).c_str()));
  EXPECT_TRUE(PosixRegKeyExists(kHkeyCurrentUser, "Software"));
  EXPECT_FALSE(PosixRegKeyExists(kHkeyCurrentUser, ("Software\\" + kXu).c_str()));
}

}  // namespace

#endif
