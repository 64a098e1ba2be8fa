// The registry entries of the native platform table: on the host against
// the in-memory registry, under Wine against the prefix's real registry.
// The core never creates keys, so a fixture makes and removes
// HKCU\Software\selfpatch-test with the host's own calls.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix_registry.h"
#endif

#include "platform/platform.h"

namespace {

const Platform* Os() { return PlatformNative(); }

const char kKey[] = "Software\\selfpatch-test";
const char kSub[] = "Software\\selfpatch-test\\sub";

class PlatformRegistry : public testing::Test {
 protected:
  void SetUp() override {
    Remove();
#ifdef _WIN32
    for (const char* k : {kKey, kSub}) {
      HKEY h;
      ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, k, 0, NULL, 0,
                                KEY_ALL_ACCESS, NULL, &h, NULL),
                ERROR_SUCCESS);
      RegCloseKey(h);
    }
#else
    ASSERT_TRUE(PosixRegCreateKey(kHkeyCurrentUser, kSub));
#endif
  }
  void TearDown() override { Remove(); }
  static void Remove() {
#ifdef _WIN32
    RegDeleteKeyA(HKEY_CURRENT_USER, kSub);
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
#else
    PosixRegDeleteKey(kHkeyCurrentUser, kKey);
#endif
  }

  RegKey Open(const char* subkey, uint32_t access) {
    RegKey k = 0;
    EXPECT_TRUE(Os()->reg_open(kHkeyCurrentUser, subkey, access, &k))
        << subkey;
    return k;
  }
};

TEST_F(PlatformRegistry, OpeningNeverCreatesAKey) {
  RegKey k = 0;
  EXPECT_FALSE(Os()->reg_open(kHkeyCurrentUser,
                              "Software\\selfpatch-test\\missing", kKeyRead,
                              &k));
  EXPECT_FALSE(Os()->reg_open(kHkeyCurrentUser,
                              "Software\\selfpatch-test\\missing",
                              kKeyAllAccess, &k));
  EXPECT_FALSE(Os()->reg_open(kHkeyCurrentUser,
                              "Software\\selfpatch-test\\missing", kKeyRead,
                              &k));
  // Key names ignore ASCII case; a key opens below an opened key too.
  RegKey upper = Open("SOFTWARE\\SELFPATCH-TEST", kKeyRead);
  RegKey sub = 0;
  EXPECT_TRUE(Os()->reg_open(upper, "Sub", kKeyRead, &sub));
  Os()->reg_close(sub);
  Os()->reg_close(upper);
}

TEST_F(PlatformRegistry, ValuesRoundTripWithTheirTypes) {
  RegKey k = Open(kKey, kKeyAllAccess);
  const char path[] = "C:\\Program Files\\App";
  const uint8_t bin[] = {0, 1, 0xFE, 0x5C, 0x80};
  const uint32_t dword = 0x12345678;
  ASSERT_TRUE(Os()->reg_set(k, "Path", kRegSz, path, sizeof path));
  ASSERT_TRUE(Os()->reg_set(k, "Bin", kRegBinary, bin, sizeof bin));
  ASSERT_TRUE(Os()->reg_set(k, "Num", kRegDword, &dword, 4));
  ASSERT_TRUE(Os()->reg_set(k, "", kRegSz, "dflt", 5));
  Os()->reg_close(k);

  struct Case {
    const char* name;
    uint32_t type;
    std::string data;
  } cases[] = {
      {"Path", kRegSz, std::string(path, sizeof path)},
      {"path", kRegSz, std::string(path, sizeof path)},  // names ignore case
      {"Bin", kRegBinary, std::string((const char*)bin, sizeof bin)},
      {"Num", kRegDword, std::string((const char*)&dword, 4)},
      {"", kRegSz, std::string("dflt", 5)},
      {nullptr, kRegSz, std::string("dflt", 5)},  // null names the default
  };
  RegKey r = Open(kKey, kKeyRead);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    char buf[1024];
    memset(buf, 0x55, sizeof buf);
    uint32_t type = 0, size = sizeof buf;
    ASSERT_TRUE(Os()->reg_query(r, c.name, &type, buf, &size));
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(std::string(buf, size), c.data);
  }
  Os()->reg_close(r);
}

TEST_F(PlatformRegistry, QueryReportsMissingValuesAndShortBuffers) {
  RegKey k = Open(kKey, kKeyAllAccess);
  const char text[] = "0123456789";
  ASSERT_TRUE(Os()->reg_set(k, "v", kRegSz, text, sizeof text));

  char buf[4];
  uint32_t type = 0, size = sizeof buf;
  EXPECT_FALSE(Os()->reg_query(k, "v", &type, buf, &size));
  EXPECT_EQ(size, sizeof text);  // the room it needs

  size = 0;  // no buffer: only the size is asked for
  EXPECT_TRUE(Os()->reg_query(k, "v", &type, nullptr, &size));
  EXPECT_EQ(size, sizeof text);
  EXPECT_EQ(type, kRegSz);

  size = sizeof buf;
  EXPECT_FALSE(Os()->reg_query(k, "missing", &type, buf, &size));
  Os()->reg_close(k);
}

TEST_F(PlatformRegistry, SetReplacesAValueAndNeedsWriteAccess) {
  RegKey ro = Open(kKey, kKeyRead);
  EXPECT_FALSE(Os()->reg_set(ro, "v", kRegSz, "a", 2));
  uint32_t size = 0;
  EXPECT_FALSE(Os()->reg_query(ro, "v", nullptr, nullptr, &size));

  RegKey rw = Open(kKey, kKeyAllAccess);
  ASSERT_TRUE(Os()->reg_set(rw, "v", kRegSz, "first", 6));
  const uint32_t n = 7;
  ASSERT_TRUE(Os()->reg_set(rw, "V", kRegDword, &n, 4));
  char buf[16];
  uint32_t type = 0;
  size = sizeof buf;
  // An older read handle sees the change.
  ASSERT_TRUE(Os()->reg_query(ro, "v", &type, buf, &size));
  EXPECT_EQ(type, kRegDword);
  ASSERT_EQ(size, 4u);
  uint32_t got;
  memcpy(&got, buf, 4);
  EXPECT_EQ(got, 7u);
  Os()->reg_close(rw);
  Os()->reg_close(ro);
}

}  // namespace
