// The process and system entries of the native platform table that behave
// alike on both systems.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/platform.h"
#include "support/scratch_dir.h"

namespace {

const Platform* Os() { return PlatformNative(); }

TEST(PlatformSystem, StringGettersFillTheBufferOrReportNothing) {
  using Getter = int32_t (*)(char*, int32_t);
  const struct {
    const char* what;
    Getter get;
  } getters[] = {
      {"own_path", Os()->own_path},
      {"windows_folder", Os()->windows_folder},
      {"system_folder", Os()->system_folder},
      {"current_folder", Os()->current_folder},
  };
  for (const auto& g : getters) {
    SCOPED_TRACE(g.what);
    char buf[1024];
    int32_t n = g.get(buf, sizeof buf);
    ASSERT_GT(n, 0);
    EXPECT_EQ((size_t)n, strlen(buf));
    // A buffer one byte short of the text and its NUL gets nothing.
    char small[1024];
    EXPECT_EQ(g.get(small, n), 0);
    EXPECT_EQ(g.get(small, n + 1), n);
    EXPECT_EQ(std::string(small), std::string(buf));
  }
}

TEST(PlatformSystem, CurrentFolderAndOwnPathAreRealNames) {
  char buf[1024];
  ASSERT_GT(Os()->current_folder(buf, sizeof buf), 0);
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::equivalent(buf, std::filesystem::current_path(),
                                          ec));
  ASSERT_GT(Os()->own_path(buf, sizeof buf), 0);
  PlatformFile f = Os()->open_file(buf, kOpenForReading);
  EXPECT_NE(f, nullptr) << buf;
  Os()->close(f);
}

TEST(PlatformSystem, ShortPathNamesOnlyWhatExists) {
  ScratchDir dir;
  dir.Write("file.bin", "x");
  char buf[1024];
  int32_t n = Os()->short_path(dir.Path("file.bin").c_str(), buf, sizeof buf);
  ASSERT_GT(n, 0);
  PlatformFile f = Os()->open_file(buf, kOpenForReading);
  EXPECT_NE(f, nullptr) << buf;  // the short form names the same file
  Os()->close(f);
  EXPECT_EQ(Os()->short_path(dir.Path("missing.bin").c_str(), buf, sizeof buf),
            0);
}

TEST(PlatformSystem, CommandLineAndVersion) {
  const char* line = Os()->command_line();
  ASSERT_NE(line, nullptr);
  EXPECT_NE(std::string(line).find("selfpatch_tests"), std::string::npos)
      << line;
  // Both the host table (by default) and a 64-bit Windows report the NT
  // family: the high bit is clear and the major version is at least 4.
  uint32_t v = Os()->version();
  EXPECT_EQ(v & 0x80000000u, 0u);
  EXPECT_GE(v & 0xFF, 4u);
}

// WritePrivateProfileStringA writes under Windows; the host table only
// records the write (see the POSIX hook tests). Either way the call reports
// success for a well-formed write.
TEST(PlatformSystem, ProfileWriteLandsInTheNamedFile) {
  ScratchDir dir;
  const std::string ini = dir.Path("test.ini");
  ASSERT_TRUE(Os()->write_profile_string("rename", "C:\\App\\F.dll",
                                         "C:\\App\\PATCH0.TMP\\F.dll",
                                         ini.c_str()));
#ifdef _WIN32
  std::string text = dir.Read("test.ini");
  EXPECT_NE(text.find("[rename]"), std::string::npos) << text;
  EXPECT_NE(text.find("C:\\App\\F.dll=C:\\App\\PATCH0.TMP\\F.dll"),
            std::string::npos)
      << text;
#endif
}

#ifdef _WIN32
// MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT lands in the system's list of
// pending renames; the test takes its entries out again.
TEST(PlatformSystem, DelayedMoveIsRegisteredWithTheSystem) {
  const char kKey[] = "System\\CurrentControlSet\\Control\\Session Manager";
  const char kValue[] = "PendingFileRenameOperations";
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  auto read = [&](std::string* out, DWORD* type) {
    DWORD size = 0;
    out->clear();
    if (RegQueryValueExA(key, kValue, NULL, type, NULL, &size) !=
        ERROR_SUCCESS)
      return false;
    out->resize(size);
    return RegQueryValueExA(key, kValue, NULL, type, (BYTE*)&(*out)[0],
                            &size) == ERROR_SUCCESS;
  };
  std::string before;
  DWORD type = REG_MULTI_SZ;
  bool had = read(&before, &type);

  ScratchDir dir;
  dir.Write("old.dll", "x");
  ASSERT_TRUE(Os()->move_at_restart(dir.Path("old.dll").c_str(),
                                    dir.Path("new.dll").c_str()));
  std::string after;
  ASSERT_TRUE(read(&after, &type));
  EXPECT_TRUE(dir.IsFile("old.dll"));  // nothing happens before the restart
  EXPECT_NE(after.find(dir.Path("old.dll")), std::string::npos);
  EXPECT_NE(after.find(dir.Path("new.dll")), std::string::npos);
  // Without MOVEFILE_REPLACE_EXISTING the destination carries no "!" mark.
  EXPECT_EQ(after.find("!\\??\\" + dir.Path("new.dll")), std::string::npos);

  if (had)
    RegSetValueExA(key, kValue, 0, type, (const BYTE*)before.data(),
                   (DWORD)before.size());
  else
    RegDeleteValueA(key, kValue);
  RegCloseKey(key);
}
#endif

}  // namespace
