// Cases found by fuzzing and fault injection over whole apply runs, each
// reduced to the smallest patch that shows it.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "apply/apply_run.h"
#include "support/apply_fixture.h"
#include "support/fault_platform.h"

namespace {

const std::string kV1 = "version one of the library: what the user has now";
const std::string kV2 = "version two of the library, one step further on";
const std::string kV3 = "version three, which another group brings";

// Two groups resolve to the same folder (the chosen folder, and a registry
// value naming the same folder), and each patches "a.dll" from the version
// the user has. The commit of the second entry found the backup the first
// one had just made (the user's version one) and deleted it as a backup
// left by an earlier run, to make room for the first group's new file. A
// backup this run made never gives way: the run fails and rolls back. A
// backup from an earlier run still gives way to the user's current file.
TEST(ApplyRegression, TwoGroupsOnOneFolderKeepTheOriginal) {
  for (bool earlier_backup : {false, true}) {
    SCOPED_TRACE(earlier_backup ? "with an earlier backup" : "no backup");
    ApplyHarness h;
    RemoveTestRegistryKey();
    ASSERT_TRUE(SeedRegistryValue("", "Folder", kRegSz, h.Target() + '\0'));
    h.dir.Write("app/a.dll", kV1);
    if (earlier_backup) h.dir.Write("app/BAK/a.dll", "an older version");

    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
    b.RegistryGroup(kHkeyCurrentUser, kTestRegistryKey, "Folder", "BAK");
    b.AddPatched(ChainEntry("a.dll", {kV1, kV3}));
    ASSERT_TRUE(h.Load(b));
    EXPECT_EQ(h.Run(), kMsgReplaceFailed);
    EXPECT_EQ(h.dir.Read("app/a.dll"), kV1);
    if (!earlier_backup) {
      const std::map<std::string, std::string> unchanged = {{"a.dll", kV1}};
      EXPECT_EQ(TargetFiles(h.dir), unchanged);
    }
    RemoveTestRegistryKey();
  }
}

// The same two groups when a file in use hands the second group's entry to
// the restart schedule: scheduling used to delete the backup the first
// group had just made, so the user's original was gone before the restart.
// It stays; the second group's moves then find their destinations taken
// and change nothing at the restart.
TEST(ApplyRegression, TwoGroupsOnOneFolderKeepTheOriginalAcrossARestart) {
  FaultPlatform fault;
  ApplyHarness h(fault.os());
  RemoveTestRegistryKey();
  ASSERT_TRUE(SeedRegistryValue("", "Folder", kRegSz, h.Target() + '\0'));
  h.dir.Write("app/a.dll", kV1);
  h.dir.Write("app/b.dll", kV1);

  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
  b.AddPatched(ChainEntry("b.dll", {kV1, kV2}));
  b.RegistryGroup(kHkeyCurrentUser, kTestRegistryKey, "Folder", "BAK");
  b.AddPatched(ChainEntry("a.dll", {kV1, kV3}));
  ASSERT_TRUE(h.Load(b));
  fault.FailPath(kFaultMoveFile, "app/b.dll");  // in use
  EXPECT_EQ(h.Run(), kMsgRestartDeclined);
  EXPECT_EQ(h.dir.Read("app/BAK/a.dll"), kV1);

  fault.Reset();
  CarryOutRestartMoves(h.restart);
  EXPECT_EQ(h.dir.Read("app/a.dll"), kV2);
  EXPECT_EQ(h.dir.Read("app/BAK/a.dll"), kV1);
  EXPECT_EQ(h.dir.Read("app/b.dll"), kV2);
  EXPECT_EQ(h.dir.Read("app/BAK/b.dll"), kV1);
  RemoveTestRegistryKey();
}

// A new file that replaces a file of the user's: the first run moves the
// user's file into the backup folder. Applying the same patch again (the
// user starts it twice, or again after a run that was cut short once the
// new file was in place) takes the patch's own new file for the current
// one and deletes the backup, the only copy of the user's file, to make
// room for it. A new file whose bytes are already in place is already up to
// date, as a patched file is.
TEST(ApplyRegression, ApplyingAgainKeepsTheBackupOfAReplacedFile) {
  ApplyHarness h;
  h.dir.Write("app/orvenda.ini", "[Orvenda]\r\nVersion=1\r\n");
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("OLD");
  writer::NewFile ini;
  ini.name = "orvenda.ini";
  ini.data = "[Orvenda]\r\nVersion=2\r\n";
  b.AddNewFile(ini);
  ASSERT_TRUE(h.Load(b));
  for (int run = 1; run <= 2; run++) {
    SCOPED_TRACE(testing::Message() << "run " << run);
    EXPECT_EQ(h.Run(), kOk);
    EXPECT_EQ(h.dir.Read("app/orvenda.ini"), "[Orvenda]\r\nVersion=2\r\n");
    EXPECT_EQ(h.dir.Read("app/OLD/orvenda.ini"), "[Orvenda]\r\nVersion=1\r\n");
  }
}

// A run killed between the two moves of a patched file leaves the target
// name free, the old version in the backup folder and the new one staged.
// Applying the patch again must finish the entry: the old version in the
// backup folder is a source like the one in the target folder would be.
TEST(ApplyRegression, ApplyingAgainFinishesAnEntryCutBetweenItsMoves) {
  ApplyHarness h;
  h.dir.Write("app/BAK/a.dll", kV1);
  h.dir.Write("app/PATCH0.TMP/a.dll", kV2);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
  ASSERT_TRUE(h.Load(b));
  EXPECT_EQ(h.Run(), kOk);
  EXPECT_EQ(h.dir.Read("app/a.dll"), kV2);
  EXPECT_EQ(h.dir.Read("app/BAK/a.dll"), kV1);
}

}  // namespace
