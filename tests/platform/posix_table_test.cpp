// What only the host table does: settings that stand in for the Windows
// system, records of what would happen at a restart, the in-memory
// registry's own interface, and the Win32 rules it imitates where Linux
// differs (paths with '\', write-protected folders).
#ifndef _WIN32

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_hooks.h"
#include "platform/posix_registry.h"
#include "support/scratch_dir.h"

namespace {

using namespace std::string_literals;

const Platform* Os() { return PlatformNative(); }

class PosixTable : public testing::Test {
 protected:
  void SetUp() override {
    PosixResetSettings();
    PosixRegClear();
  }
  void TearDown() override {
    PosixResetSettings();
    PosixRegClear();
  }
};

std::string Get(int32_t (*getter)(char*, int32_t)) {
  char buf[4096];
  return getter(buf, sizeof buf) > 0 ? buf : "";
}

TEST_F(PosixTable, SystemFoldersFollowWineUnlessSet) {
  const char* old = getenv("WINEPREFIX");
  std::string saved = old ? old : "";
  setenv("WINEPREFIX", "/opt/prefix", 1);
  EXPECT_EQ(Get(Os()->windows_folder), "/opt/prefix/drive_c/windows");
  EXPECT_EQ(Get(Os()->system_folder), "/opt/prefix/drive_c/windows/system32");
  unsetenv("WINEPREFIX");
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  EXPECT_EQ(Get(Os()->windows_folder), home + "/.wine/drive_c/windows");

  PosixSetWindowsFolder("/srv/win");
  PosixSetSystemFolder("/srv/win/sys");
  EXPECT_EQ(Get(Os()->windows_folder), "/srv/win");
  EXPECT_EQ(Get(Os()->system_folder), "/srv/win/sys");
  PosixSetWindowsFolder(nullptr);
  EXPECT_EQ(Get(Os()->windows_folder), home + "/.wine/drive_c/windows");
  if (old) setenv("WINEPREFIX", saved.c_str(), 1);
}

TEST_F(PosixTable, OwnPathCommandLineAndVersionCanBeSet) {
  PosixSetOwnPath("/x/patch.exe");
  PosixSetCommandLine("patch.exe \"C:\\My App\"");
  EXPECT_EQ(Get(Os()->own_path), "/x/patch.exe");
  EXPECT_STREQ(Os()->command_line(), "patch.exe \"C:\\My App\"");
  EXPECT_EQ(Os()->version(), kPosixVersionNt);
  PosixSetVersion(kPosixVersion9x);
  EXPECT_NE(Os()->version() & 0x80000000u, 0u);
}

TEST_F(PosixTable, RestartServicesAreRecordedNotPerformed) {
  ScratchDir dir;
  dir.Write("a.bin", "a");
  const std::string from = dir.Path("a.bin"), to = dir.Path("b.bin");
  EXPECT_TRUE(Os()->move_at_restart(from.c_str(), to.c_str()));
  EXPECT_TRUE(Os()->move_at_restart("C:\\x", "C:\\y"));
  EXPECT_TRUE(Os()->write_profile_string("rename", "C:\\y", "C:\\X~1",
                                         "WININIT.INI"));
  EXPECT_TRUE(Os()->request_restart());
  PosixSetRestartAccepted(false);
  EXPECT_FALSE(Os()->request_restart());

  EXPECT_TRUE(dir.IsFile("a.bin"));  // nothing moved
  EXPECT_FALSE(dir.Exists("b.bin"));
  ASSERT_EQ(PosixDelayedMoveCount(), 2);
  const char *f, *t;
  ASSERT_TRUE(PosixDelayedMove(0, &f, &t));
  EXPECT_EQ(std::string(f), from);
  EXPECT_EQ(std::string(t), to);
  ASSERT_TRUE(PosixDelayedMove(1, &f, &t));
  EXPECT_STREQ(f, "C:\\x");
  EXPECT_STREQ(t, "C:\\y");
  EXPECT_FALSE(PosixDelayedMove(2, &f, &t));
  ASSERT_EQ(PosixProfileWriteCount(), 1);
  PosixProfileWrite w;
  ASSERT_TRUE(PosixProfileWriteAt(0, &w));
  EXPECT_STREQ(w.section, "rename");
  EXPECT_STREQ(w.key, "C:\\y");
  EXPECT_STREQ(w.value, "C:\\X~1");
  EXPECT_STREQ(w.file, "WININIT.INI");
  EXPECT_EQ(PosixRestartRequests(), 2);

  PosixClearRecords();
  EXPECT_EQ(PosixDelayedMoveCount(), 0);
  EXPECT_EQ(PosixProfileWriteCount(), 0);
  EXPECT_EQ(PosixRestartRequests(), 0);
}

TEST_F(PosixTable, WriteProtectedFolderIsReadOnly) {
  ScratchDir dir;
  dir.MakeFolder("locked");
  const std::string p = dir.Path("locked");
  ASSERT_TRUE(Os()->set_attributes(p.c_str(), kAttrReadOnly));
  EXPECT_EQ(Os()->get_attributes(p.c_str()), kAttrDirectory | kAttrReadOnly);
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IWUSR, 0u);
  ASSERT_TRUE(Os()->set_attributes(p.c_str(), kAttrNormal));
  EXPECT_EQ(Os()->get_attributes(p.c_str()), kAttrDirectory);
}

TEST_F(PosixTable, ReadOnlyFileRefusesUpdateEvenForRoot) {
  ScratchDir dir;
  dir.Write("ro.bin", "keep");
  const std::string file = dir.Path("ro.bin");
  ASSERT_TRUE(Os()->set_attributes(file.c_str(), kAttrReadOnly));
  EXPECT_EQ(Os()->open_file(file.c_str(), kOpenForUpdate), nullptr);
  ASSERT_TRUE(Os()->set_attributes(file.c_str(), kAttrNormal));
  PlatformFile f = Os()->open_file(file.c_str(), kOpenForUpdate);
  EXPECT_NE(f, nullptr);
  Os()->close(f);
}

TEST_F(PosixTable, StampOfAMissingDayIsRefused) {
  ScratchDir dir;
  dir.Write("f.bin", "x");
  PlatformFile f = Os()->open_file(dir.Path("f.bin").c_str(), kOpenForUpdate);
  ASSERT_NE(f, nullptr);
  const uint32_t leap = (2024u - 1980) << 25 | 2u << 21 | 29u << 16;
  const uint32_t common = (2023u - 1980) << 25 | 2u << 21 | 29u << 16;
  Os()->set_file_stamp(f, leap);
  Os()->set_file_stamp(f, common);  // no such day: ignored
  Os()->close(f);
  struct stat st;
  ASSERT_EQ(stat(dir.Path("f.bin").c_str(), &st), 0);
  struct tm t;
  localtime_r(&st.st_mtime, &t);
  EXPECT_EQ(t.tm_year, 124);
  EXPECT_EQ(t.tm_mon, 1);
  EXPECT_EQ(t.tm_mday, 29);
}

TEST_F(PosixTable, BackslashesSeparateInEveryPathCall) {
  ScratchDir dir;
  std::string win = dir.path();
  for (char& c : win)
    if (c == '/') c = '\\';
  ASSERT_TRUE(Os()->create_folder((win + "\\sub").c_str()));
  PlatformFile f = Os()->open_file((win + "\\sub\\f.bin").c_str(),
                                   kCreateNewFile);
  ASSERT_NE(f, nullptr);
  Os()->close(f);
  EXPECT_TRUE(dir.IsFile("sub/f.bin"));
  EXPECT_EQ(Os()->get_attributes((win + "\\sub").c_str()), kAttrDirectory);
  EXPECT_TRUE(Os()->move_file((win + "\\sub\\f.bin").c_str(),
                              (win + "\\sub\\g.bin").c_str()));
  EXPECT_TRUE(dir.IsFile("sub/g.bin"));
}

TEST_F(PosixTable, TemporaryFilesFallBackWhenTheFolderTakesNoName) {
  PosixSetTempFolder("/nonexistent/selfpatch");
  PlatformFile f = Os()->create_temp_file();
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(Os()->write(f, "x", 1, nullptr));
  Os()->close(f);

  ScratchDir dir;
  PosixSetTempFolder(dir.path().c_str());
  f = Os()->create_temp_file();
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(dir.Snapshot().empty());  // unlinked at once
  Os()->close(f);
}

// Everything the visitor reports, one line per key or value.
void Collect(void* ctx, RegKey root, const char* key_path,
             const PosixRegValue* value) {
  auto* out = static_cast<std::vector<std::string>*>(ctx);
  std::string line = std::to_string(root - kHkeyClassesRoot) + " " + key_path;
  if (value)
    line += " [" + std::string(value->name) + "]=" + std::to_string(value->type) +
            ":" + std::string((const char*)value->data, value->size);
  out->push_back(line);
}

TEST_F(PosixTable, RegistryCanBeSeededListedAndEmptied) {
  ASSERT_TRUE(PosixRegSetValue(kHkeyLocalMachine, "Software\\Vendor\\App",
                               "InstallDir", kRegSz, "C:\\App", 7));
  ASSERT_TRUE(PosixRegSetValue(kHkeyLocalMachine, "software\\vendor\\app",
                               nullptr, kRegSz, "d", 2));
  ASSERT_TRUE(PosixRegCreateKey(kHkeyLocalMachine, "Software\\Vendor\\Empty"));
  ASSERT_TRUE(PosixRegSetValue(kHkeyCurrentUser, "A", "x", kRegBinary, "\0\1",
                               2));
  EXPECT_FALSE(PosixRegCreateKey(0x12345678, "Software"));

  std::vector<std::string> seen;
  PosixRegVisit(Collect, &seen);
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "1 A",
                      "1 A [x]=3:\0\1"s,
                      "2 Software",
                      "2 Software\\Vendor",
                      "2 Software\\Vendor\\App",
                      "2 Software\\Vendor\\App [InstallDir]=1:C:\\App\0"s,
                      "2 Software\\Vendor\\App []=1:d\0"s,
                      "2 Software\\Vendor\\Empty",
                  }));

  char buf[16];
  uint32_t type = 0, size = sizeof buf;
  ASSERT_TRUE(PosixRegGetValue(kHkeyLocalMachine, "SOFTWARE\\Vendor\\App",
                               "installdir", &type, buf, &size));
  EXPECT_EQ(std::string(buf, size), std::string("C:\\App", 7));

  // Handles into a removed key stop working; the rest stays.
  RegKey k = 0;
  ASSERT_TRUE(Os()->reg_open(kHkeyLocalMachine, "Software\\Vendor\\App",
                             kKeyAllAccess, &k));
  EXPECT_EQ(PosixRegOpenHandles(), 1);
  EXPECT_TRUE(PosixRegDeleteValue(kHkeyLocalMachine, "Software\\Vendor\\App",
                                  ""));
  EXPECT_TRUE(PosixRegDeleteKey(kHkeyLocalMachine, "Software\\Vendor"));
  EXPECT_FALSE(PosixRegKeyExists(kHkeyLocalMachine, "Software\\Vendor\\App"));
  EXPECT_TRUE(PosixRegKeyExists(kHkeyLocalMachine, "Software"));
  EXPECT_FALSE(Os()->reg_set(k, "v", kRegSz, "a", 2));
  size = sizeof buf;
  EXPECT_FALSE(Os()->reg_query(k, "InstallDir", &type, buf, &size));
  EXPECT_EQ(PosixRegOpenHandles(), 0);
  Os()->reg_close(k);

  PosixRegClear();
  seen.clear();
  PosixRegVisit(Collect, &seen);
  EXPECT_TRUE(seen.empty());
}

}  // namespace

#endif
