// The file helpers over the native table, in a scratch folder.
#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "fsutil/fsutil.h"
#include "support/fault_platform.h"
#include "support/scratch_dir.h"

namespace {

const Platform* Os() { return PlatformNative(); }

TEST(FsHelpers, ForceDeleteRemovesReadOnlyFiles) {
  ScratchDir dir;
  dir.Write("ro.dll", "x");
  dir.Write("plain.dll", "y");
  ASSERT_TRUE(Os()->set_attributes(dir.Path("ro.dll").c_str(), kAttrReadOnly));
  ASSERT_FALSE(Os()->delete_file(dir.Path("ro.dll").c_str()));

  EXPECT_TRUE(FsForceDelete(Os(), dir.Path("ro.dll").c_str()));
  EXPECT_TRUE(FsForceDelete(Os(), dir.Path("plain.dll").c_str()));
  EXPECT_FALSE(FsForceDelete(Os(), dir.Path("missing.dll").c_str()));
  dir.MakeFolder("sub");
  EXPECT_FALSE(FsForceDelete(Os(), dir.Path("sub").c_str()));
  EXPECT_EQ(dir.Snapshot(), (std::map<std::string, std::string>{{"sub/", ""}}));
}

TEST(FsHelpers, ForceDeleteGoesOnWhenTheAttributeResetFails) {
  ScratchDir dir;
  dir.Write("f.dll", "x");
  FaultPlatform fault;
  fault.FailCall(kFaultSetAttributes, 1);
  EXPECT_TRUE(FsForceDelete(fault.os(), dir.Path("f.dll").c_str()));
  EXPECT_EQ(fault.Calls(kFaultDeleteFile), 1);
  EXPECT_FALSE(dir.Exists("f.dll"));
}

TEST(FsHelpers, CreateNewFileAndMoveNeverOverwrite) {
  ScratchDir dir;
  dir.Write("a.dll", "a");
  dir.Write("b.dll", "b");
  auto before = dir.Snapshot();
  EXPECT_EQ(FsCreateNewFile(Os(), dir.Path("a.dll").c_str()), nullptr);
  EXPECT_FALSE(FsMoveFile(Os(), dir.Path("a.dll").c_str(),
                          dir.Path("b.dll").c_str()));
  EXPECT_EQ(dir.Snapshot(), before);

  // Callers that must replace delete the destination first.
  ASSERT_TRUE(FsForceDelete(Os(), dir.Path("b.dll").c_str()));
  EXPECT_TRUE(FsMoveFile(Os(), dir.Path("a.dll").c_str(),
                         dir.Path("b.dll").c_str()));
  EXPECT_EQ(dir.Snapshot(), (std::map<std::string, std::string>{{"b.dll", "a"}}));
}

TEST(FsHelpers, BlocksReadAndWriteThroughTheHandles) {
  ScratchDir dir;
  PlatformFile f = FsCreateNewFile(Os(), dir.Path("n.bin").c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(FsWriteBlock(Os(), f, "abcdef", 6));
  Os()->close(f);

  f = FsOpenForUpdate(Os(), dir.Path("n.bin").c_str());
  ASSERT_NE(f, nullptr);
  Os()->seek(f, 2);
  EXPECT_TRUE(FsWriteBlock(Os(), f, "XY", 2));
  Os()->close(f);

  f = FsOpenForReading(Os(), dir.Path("n.bin").c_str());
  ASSERT_NE(f, nullptr);
  char buf[10] = {};
  int32_t got = -1;
  EXPECT_TRUE(FsReadBlock(Os(), f, buf, 10, &got));  // short at the end
  EXPECT_EQ(got, 6);
  EXPECT_EQ(std::string(buf, 6), "abXYef");
  EXPECT_TRUE(FsReadBlock(Os(), f, buf, 10, nullptr));
  EXPECT_FALSE(FsWriteBlock(Os(), f, "z", 1));  // opened for reading only
  Os()->close(f);
}

TEST(FsHelpers, FileExistsOnlyForReadableFiles) {
  ScratchDir dir;
  dir.Write("f.dll", "x");
  dir.MakeFolder("folder");
  EXPECT_TRUE(FsFileExists(Os(), dir.Path("f.dll").c_str()));
  EXPECT_FALSE(FsFileExists(Os(), dir.Path("folder").c_str()));
  EXPECT_FALSE(FsFileExists(Os(), dir.Path("missing").c_str()));
  EXPECT_FALSE(FsFileExists(Os(), ""));
  // The probe closes its handle: the file can be removed right after.
  EXPECT_TRUE(FsForceDelete(Os(), dir.Path("f.dll").c_str()));
}

TEST(FsHelpers, FolderExistsOnlyForPlainFolders) {
  ScratchDir dir;
  dir.Write("f.dll", "x");
  dir.MakeFolder("plain");
  dir.MakeFolder("locked");
  EXPECT_TRUE(FsFolderExists(Os(), dir.Path("plain").c_str()));
  EXPECT_FALSE(FsFolderExists(Os(), dir.Path("f.dll").c_str()));
  EXPECT_FALSE(FsFolderExists(Os(), dir.Path("missing").c_str()));

  // A folder whose attributes carry more than the directory bit does not
  // count. Which extra bit a folder can take depends on the system: the
  // host table maps read-only to the write bit, Wine keeps read-only only
  // for files but stores hidden.
  uint32_t a = kAttrDirectory;
  for (uint32_t extra : {(uint32_t)kAttrReadOnly, 0x02u /* hidden */}) {
    Os()->set_attributes(dir.Path("locked").c_str(), extra);
    a = Os()->get_attributes(dir.Path("locked").c_str());
    if (a != kAttrDirectory) break;
  }
  if (a == kAttrDirectory) GTEST_SKIP() << "folders take no extra attribute";
  EXPECT_EQ(a & kAttrDirectory, kAttrDirectory);
  EXPECT_FALSE(FsFolderExists(Os(), dir.Path("locked").c_str()));
  Os()->set_attributes(dir.Path("locked").c_str(), kAttrNormal);
}

// A file that another handle holds open for writing cannot be opened for
// reading with FILE_SHARE_READ alone, so it does not "exist". Only Windows
// has share modes.
TEST(FsHelpers, FileHeldOpenForWritingDoesNotExist) {
#ifdef _WIN32
  ScratchDir dir;
  dir.Write("busy.dll", "x");
  HANDLE other = CreateFileA(dir.Path("busy.dll").c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FsFileExists(Os(), dir.Path("busy.dll").c_str()));
  EXPECT_EQ(FsOpenForUpdate(Os(), dir.Path("busy.dll").c_str()), nullptr);
  CloseHandle(other);
  EXPECT_TRUE(FsFileExists(Os(), dir.Path("busy.dll").c_str()));

  // And a file opened here for update keeps others from writing to it.
  PlatformFile mine = FsOpenForUpdate(Os(), dir.Path("busy.dll").c_str());
  ASSERT_NE(mine, nullptr);
  other = CreateFileA(dir.Path("busy.dll").c_str(), GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                      0, NULL);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  Os()->close(mine);
#else
  GTEST_SKIP() << "share modes exist only on Windows";
#endif
}

TEST(FsHelpers, ParentFoldersAreMadeForAFileAndRemovedWhenEmptied) {
  ScratchDir dir;
  const std::string staged = dir.Path("T/PATCH0.TMP/sub/deeper/f.dll");
  FsCreateParentFolders(Os(), staged.c_str());
  EXPECT_TRUE(dir.IsFolder("T/PATCH0.TMP/sub/deeper"));
  EXPECT_FALSE(dir.Exists("T/PATCH0.TMP/sub/deeper/f.dll"));
  FsCreateParentFolders(Os(), staged.c_str());  // again: nothing changes
  dir.Write("T/PATCH0.TMP/sub/deeper/f.dll", "staged");
  dir.Write("T/app.exe", "target");

  // While the staged file is there, nothing goes.
  FsRemoveEmptyParentFolders(Os(), staged.c_str());
  EXPECT_TRUE(dir.IsFile("T/PATCH0.TMP/sub/deeper/f.dll"));

  // Once it is gone, the staging folders go and the target folder, which
  // still holds a file, stays.
  ASSERT_TRUE(FsForceDelete(Os(), staged.c_str()));
  FsRemoveEmptyParentFolders(Os(), staged.c_str());
  EXPECT_EQ(dir.Snapshot(), (std::map<std::string, std::string>{
                                {"T/", ""}, {"T/app.exe", "target"}}));
}

TEST(FsHelpers, FolderPathEndingInASeparatorIsCreatedItself) {
  ScratchDir dir;
  FsCreateParentFolders(Os(), (dir.path() + "\\new\\folder\\").c_str());
  EXPECT_TRUE(dir.IsFolder("new/folder"));
}

}  // namespace
