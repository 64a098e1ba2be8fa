// The file and folder entries of the native platform table. The same tests
// run on the host against the POSIX table and under Wine against the Win32
// one, which is how the POSIX table is held to Win32 behaviour.
#include <gtest/gtest.h>
#include <time.h>

#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/platform.h"
#ifndef _WIN32
#include "platform/posix_hooks.h"
#endif
#include "support/scratch_dir.h"

namespace {

const Platform* Os() { return PlatformNative(); }

std::string ReadAll(PlatformFile f) {
  std::string out;
  char buf[256];
  int32_t got = 0;
  Os()->seek(f, 0);
  while (Os()->read(f, buf, sizeof buf, &got) && got > 0) out.append(buf, got);
  return out;
}

TEST(PlatformFiles, CreateNewFileRefusesAnExistingNameAndLeavesItAlone) {
  ScratchDir dir;
  dir.Write("a.bin", "old");
  dir.MakeFolder("sub");
  EXPECT_EQ(Os()->open_file(dir.Path("a.bin").c_str(), kCreateNewFile),
            nullptr);
  EXPECT_EQ(Os()->open_file(dir.Path("sub").c_str(), kCreateNewFile),
            nullptr);
  EXPECT_EQ(dir.Read("a.bin"), "old");

  PlatformFile f = Os()->open_file(dir.Path("b.bin").c_str(), kCreateNewFile);
  ASSERT_NE(f, nullptr);
  int32_t done = -1;
  EXPECT_TRUE(Os()->write(f, "new", 3, &done));
  EXPECT_EQ(done, 3);
  EXPECT_EQ(ReadAll(f), "new");  // created for reading and writing
  Os()->close(f);
  EXPECT_EQ(dir.Read("b.bin"), "new");
}

TEST(PlatformFiles, OpenModesNeverYieldAFolderOrAMissingFile) {
  ScratchDir dir;
  dir.MakeFolder("sub");
  for (OpenMode mode : {kOpenForReading, kOpenForUpdate}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(Os()->open_file(dir.Path("sub").c_str(), mode), nullptr);
    EXPECT_EQ(Os()->open_file(dir.Path("missing").c_str(), mode), nullptr);
    EXPECT_EQ(Os()->open_file("", mode), nullptr);
  }
  EXPECT_FALSE(dir.Exists("missing"));  // opening never creates
}

TEST(PlatformFiles, ReadingOnlyHandleRefusesWrites) {
  ScratchDir dir;
  dir.Write("a.bin", "abc");
  PlatformFile f = Os()->open_file(dir.Path("a.bin").c_str(), kOpenForReading);
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(Os()->write(f, "x", 1, nullptr));
  Os()->close(f);
  EXPECT_EQ(dir.Read("a.bin"), "abc");
}

TEST(PlatformFiles, UpdateRewritesInPlaceAtAnyPosition) {
  ScratchDir dir;
  dir.Write("a.bin", "0123456789");
  PlatformFile f = Os()->open_file(dir.Path("a.bin").c_str(), kOpenForUpdate);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(Os()->file_size(f), 10u);
  EXPECT_EQ(Os()->seek(f, 4), 4u);
  EXPECT_TRUE(Os()->write(f, "xy", 2, nullptr));
  EXPECT_EQ(Os()->tell(f), 6u);
  // Past the end: the position moves, the file grows only when written.
  EXPECT_EQ(Os()->seek(f, 12), 12u);
  EXPECT_EQ(Os()->file_size(f), 10u);
  EXPECT_TRUE(Os()->write(f, "z", 1, nullptr));
  EXPECT_EQ(Os()->file_size(f), 13u);
  Os()->close(f);
  EXPECT_EQ(dir.Read("a.bin"), std::string("0123xy6789\0\0z", 13));
}

TEST(PlatformFiles, NegativeSeekFailsAndKeepsThePosition) {
  ScratchDir dir;
  dir.Write("a.bin", "0123456789");
  PlatformFile f = Os()->open_file(dir.Path("a.bin").c_str(), kOpenForReading);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(Os()->seek(f, 3), 3u);
  EXPECT_EQ(Os()->seek(f, -1), 0xFFFFFFFFu);
  EXPECT_EQ(Os()->tell(f), 3u);
  Os()->close(f);
}

TEST(PlatformFiles, ReadAtTheEndIsAShortSuccess) {
  ScratchDir dir;
  dir.Write("a.bin", "abcde");
  PlatformFile f = Os()->open_file(dir.Path("a.bin").c_str(), kOpenForReading);
  ASSERT_NE(f, nullptr);
  char buf[16] = {};
  int32_t got = -1;
  Os()->seek(f, 3);
  EXPECT_TRUE(Os()->read(f, buf, 16, &got));
  EXPECT_EQ(got, 2);
  EXPECT_EQ(std::string(buf, 2), "de");
  EXPECT_TRUE(Os()->read(f, buf, 16, &got));
  EXPECT_EQ(got, 0);
  Os()->seek(f, 100);  // beyond the end
  EXPECT_TRUE(Os()->read(f, buf, 16, &got));
  EXPECT_EQ(got, 0);
  EXPECT_TRUE(Os()->read(f, buf, 0, nullptr));
  Os()->close(f);
}

TEST(PlatformFiles, MoveNeverReplacesAnExistingDestination) {
  ScratchDir dir;
  dir.Write("from.bin", "source");
  dir.Write("to.bin", "destination");
  dir.MakeFolder("folder");
  auto before = dir.Snapshot();
  EXPECT_FALSE(Os()->move_file(dir.Path("from.bin").c_str(),
                               dir.Path("to.bin").c_str()));
  EXPECT_FALSE(Os()->move_file(dir.Path("from.bin").c_str(),
                               dir.Path("folder").c_str()));
  EXPECT_FALSE(Os()->move_file(dir.Path("missing").c_str(),
                               dir.Path("new.bin").c_str()));
  EXPECT_EQ(dir.Snapshot(), before);

  // Onto a free name it moves, across folders and with either separator.
  EXPECT_TRUE(Os()->move_file(dir.Path("from.bin").c_str(),
                              (dir.path() + "/folder\\moved.bin").c_str()));
  EXPECT_FALSE(dir.Exists("from.bin"));
  EXPECT_EQ(dir.Read("folder/moved.bin"), "source");
  // Folders move too.
  EXPECT_TRUE(Os()->move_file(dir.Path("folder").c_str(),
                              dir.Path("renamed").c_str()));
  EXPECT_EQ(dir.Read("renamed/moved.bin"), "source");
}

TEST(PlatformFiles, AttributesOfFilesAndFolders) {
  ScratchDir dir;
  dir.Write("file.bin", "x");
  dir.MakeFolder("folder");
  EXPECT_EQ(Os()->get_attributes(dir.Path("folder").c_str()), kAttrDirectory);
  EXPECT_EQ(Os()->get_attributes(dir.Path("file.bin").c_str()) &
                (kAttrDirectory | kAttrReadOnly),
            0u);
  EXPECT_EQ(Os()->get_attributes(dir.Path("missing").c_str()),
            kInvalidAttributes);
  EXPECT_EQ(Os()->get_attributes(dir.Path("missing/deeper").c_str()),
            kInvalidAttributes);

  // Read-only comes and goes with set_attributes; normal clears it.
  const std::string file = dir.Path("file.bin");
  EXPECT_TRUE(Os()->set_attributes(file.c_str(), kAttrReadOnly));
  EXPECT_EQ(Os()->get_attributes(file.c_str()) & kAttrReadOnly,
            kAttrReadOnly);
  EXPECT_TRUE(Os()->set_attributes(file.c_str(), kAttrNormal));
  EXPECT_EQ(Os()->get_attributes(file.c_str()) & kAttrReadOnly, 0u);
  EXPECT_FALSE(Os()->set_attributes(dir.Path("missing").c_str(), kAttrNormal));
}

// Windows also refuses to open a read-only file for update; Wine running as
// root does not, so that half is checked on the host only.
TEST(PlatformFiles, ReadOnlyFileResistsDeleteUntilMadeNormal) {
  ScratchDir dir;
  dir.Write("ro.bin", "keep");
  const std::string file = dir.Path("ro.bin");
  ASSERT_TRUE(Os()->set_attributes(file.c_str(), kAttrReadOnly));
  EXPECT_FALSE(Os()->delete_file(file.c_str()));
  PlatformFile f = Os()->open_file(file.c_str(), kOpenForReading);
  EXPECT_NE(f, nullptr);
  Os()->close(f);
  EXPECT_EQ(dir.Read("ro.bin"), "keep");

  ASSERT_TRUE(Os()->set_attributes(file.c_str(), kAttrNormal));
  EXPECT_TRUE(Os()->delete_file(file.c_str()));
  EXPECT_FALSE(dir.Exists("ro.bin"));
}

TEST(PlatformFiles, DeleteAndFolderCallsKeepToTheirKind) {
  ScratchDir dir;
  dir.MakeFolder("full");
  dir.Write("full/f.bin", "x");
  dir.MakeFolder("empty");

  EXPECT_FALSE(Os()->delete_file(dir.Path("empty").c_str()));
  EXPECT_FALSE(Os()->delete_file(dir.Path("missing").c_str()));
  EXPECT_FALSE(Os()->remove_folder(dir.Path("full").c_str()));
  EXPECT_FALSE(Os()->remove_folder(dir.Path("full/f.bin").c_str()));
  EXPECT_TRUE(dir.IsFile("full/f.bin"));

  EXPECT_FALSE(Os()->create_folder(dir.Path("full").c_str()));  // exists
  EXPECT_FALSE(Os()->create_folder(dir.Path("no/such/parent").c_str()));
  EXPECT_TRUE(Os()->create_folder((dir.path() + "\\made").c_str()));
  EXPECT_TRUE(dir.IsFolder("made"));

  EXPECT_TRUE(Os()->remove_folder(dir.Path("empty").c_str()));
  EXPECT_TRUE(Os()->delete_file((dir.path() + "/full\\f.bin").c_str()));
  EXPECT_TRUE(Os()->remove_folder(dir.Path("full").c_str()));
  EXPECT_FALSE(dir.Exists("empty"));
  EXPECT_FALSE(dir.Exists("full"));
}

// The qvx*.TMP names in a folder.
std::set<std::string> TempNames(const std::filesystem::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    std::string n = e.path().filename().string();
    if (n.size() == 11 && n.compare(0, 3, "qvx") == 0 &&
        n.compare(7, 4, ".TMP") == 0)
      names.insert(n);
  }
  return names;
}

TEST(PlatformFiles, TemporaryFileIsPrivateAndGoneAfterClose) {
#ifdef _WIN32
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
#else
  // Other test processes make temporary files in the shared folder at the
  // same time; a private folder keeps their names out of this count.
  ScratchDir scratch;
  PosixSetTempFolder(scratch.path().c_str());
  std::filesystem::path folder = scratch.path();
#endif
  std::set<std::string> before = TempNames(folder);
  PlatformFile a = Os()->create_temp_file();
  PlatformFile b = Os()->create_temp_file();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Os()->file_size(a), 0u);
  EXPECT_TRUE(Os()->write(a, "payload", 7, nullptr));
  EXPECT_TRUE(Os()->write(b, "other", 5, nullptr));
  EXPECT_EQ(ReadAll(a), "payload");
  EXPECT_EQ(ReadAll(b), "other");
  Os()->close(a);
  Os()->close(b);
  std::set<std::string> after = TempNames(folder);
#ifndef _WIN32
  PosixSetTempFolder(nullptr);
#endif
  for (const std::string& n : after)
    EXPECT_TRUE(before.count(n)) << n << " was left behind";
}

// The file's last-write time as a packed local DOS stamp, read with the
// host's own calls.
uint32_t StampOf(const std::string& path) {
#ifdef _WIN32
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FILETIME utc, local;
  WORD date = 0, time = 0;
  bool ok = GetFileTime(h, NULL, NULL, &utc) &&
            FileTimeToLocalFileTime(&utc, &local) &&
            FileTimeToDosDateTime(&local, &date, &time);
  CloseHandle(h);
  return ok ? (uint32_t)date << 16 | time : 0;
#else
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  struct tm t;
  localtime_r(&st.st_mtime, &t);
  uint32_t date = (uint32_t)(t.tm_year - 80) << 9 | (uint32_t)(t.tm_mon + 1) << 5 |
                  (uint32_t)t.tm_mday;
  uint32_t tim = (uint32_t)t.tm_hour << 11 | (uint32_t)t.tm_min << 5 |
                 (uint32_t)(t.tm_sec / 2);
  return date << 16 | tim;
#endif
}

uint32_t Stamp(int year, int month, int day, int hour, int minute,
               int second) {
  return (uint32_t)(year - 1980) << 25 | (uint32_t)month << 21 |
         (uint32_t)day << 16 | (uint32_t)hour << 11 | (uint32_t)minute << 5 |
         (uint32_t)(second / 2);
}

TEST(PlatformFiles, FileStampRoundTripsAsLocalTime) {
  ScratchDir dir;
  dir.Write("f.bin", "x");
  const uint32_t stamps[] = {
      Stamp(1980, 1, 2, 0, 0, 0),    Stamp(1999, 12, 31, 23, 59, 58),
      Stamp(2000, 2, 29, 12, 30, 2), Stamp(2024, 7, 15, 8, 5, 44),
      Stamp(2099, 11, 30, 1, 2, 4),
  };
  for (uint32_t stamp : stamps) {
    SCOPED_TRACE(stamp);
    PlatformFile f = Os()->open_file(dir.Path("f.bin").c_str(), kOpenForUpdate);
    ASSERT_NE(f, nullptr);
    Os()->set_file_stamp(f, stamp);
    Os()->close(f);
    EXPECT_EQ(StampOf(dir.Path("f.bin")), stamp);
  }
}

TEST(PlatformFiles, InvalidStampLeavesTheTimeAlone) {
  ScratchDir dir;
  dir.Write("f.bin", "x");
  const uint32_t good = Stamp(2010, 5, 6, 7, 8, 10);
  const uint32_t bad[] = {
      0,                               // no stamp at all
      Stamp(2010, 0, 6, 7, 8, 10),     // month 0
      Stamp(2010, 13, 6, 7, 8, 10),    // month 13
      Stamp(2010, 5, 0, 7, 8, 10),     // day 0
      Stamp(2010, 5, 6, 24, 8, 10),    // hour 24
      Stamp(2010, 5, 6, 7, 60, 10),    // minute 60
      Stamp(2010, 5, 6, 7, 8, 60),     // seconds 60
      Stamp(2010, 4, 31, 7, 8, 10),    // April 31
      // February 29 of a common year is refused by Windows too, but Wine
      // takes it for March 1; the host tests check it.
  };
  for (uint32_t stamp : bad) {
    SCOPED_TRACE(stamp);
    PlatformFile f = Os()->open_file(dir.Path("f.bin").c_str(), kOpenForUpdate);
    ASSERT_NE(f, nullptr);
    Os()->set_file_stamp(f, good);
    Os()->set_file_stamp(f, stamp);
    Os()->close(f);
    EXPECT_EQ(StampOf(dir.Path("f.bin")), good);
  }
}

}  // namespace
