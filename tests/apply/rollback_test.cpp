// Rollback after a failed commit or registry pass: exactly what this run's
// commit pass committed comes back, and nothing else is touched.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "apply/apply_run.h"
#include "support/apply_fixture.h"
#include "support/fault_platform.h"

namespace {

using Files = std::map<std::string, std::string>;

const std::string kOld = "an old version of a file in the folder";
const std::string kNew = "the new version of it, as the patch makes it";

writer::NewFile NewFileEntry(const std::string& name, const std::string& data) {
  writer::NewFile nf;
  nf.name = name;
  nf.data = data;
  return nf;
}

// Entries passed over by the commit pass (already updated, optional without
// a source) stand before the failing entry and have backups from an earlier
// run. They must neither use up a restore nor have that stale backup
// brought back; the entries that were committed must all come back.
TEST(Rollback, RestoresExactlyTheCommittedEntries) {
  FaultPlatform fault;
  ApplyHarness h(fault.os());
  h.dir.Write("app/up.dll", kNew);  // already updated
  h.dir.Write("app/BAK/up.dll", "backup from an earlier patch");
  h.dir.Write("app/opt.dll", "a version nobody knows");  // optional, no source
  h.dir.Write("app/BAK/opt.dll", "another earlier backup");
  h.dir.Write("app/a.dll", kOld);
  h.dir.Write("app/b.dll", kOld);
  h.dir.Write("app/gone.txt", "obsolete");
  h.dir.Write("app/c.dll", kOld);
  Files before = TargetFiles(h.dir);

  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("up.dll", {kOld, kNew}));
  b.AddPatched(ChainEntry("opt.dll", {kOld, kNew}, kEntryOptional));
  b.AddPatched(ChainEntry("a.dll", {kOld, kNew}));
  b.AddNewFile(NewFileEntry("sub\\fresh.txt", "new file"));
  b.AddPatched(ChainEntry("b.dll", {kOld, kNew}));
  b.AddRemoved("gone.txt");
  b.AddPatched(ChainEntry("c.dll", {kOld, kNew}));  // its move in fails
  ASSERT_TRUE(h.Load(b));
  fault.FailPath(kFaultMoveFile, "PATCH0.TMP/c.dll");

  EXPECT_EQ(h.Run(), kMsgStructure);
  EXPECT_EQ(TargetFiles(h.dir), before);
  EXPECT_EQ(h.s()->committed_count, 0);
  // The emptied backup subfolder and the staging folder are gone; the
  // subfolder made for the new file stays.
  EXPECT_EQ(TargetFolders(h.dir), (std::vector<std::string>{"BAK/", "sub/"}));
}

// A registry failure after a complete commit pass undoes every file.
TEST(Rollback, RegistryFailureAfterACompleteCommit) {
  ApplyHarness h;
  h.dir.Write("app/a.dll", kOld);
  h.dir.Write("app/gone.txt", "obsolete");
  Files before = TargetFiles(h.dir);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kOld, kNew}));
  b.AddNewFile(NewFileEntry("n.txt", "new"));
  b.AddRemoved("gone.txt");
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser,
                                       "Software\\selfpatch-missing", "Path"));
  ASSERT_TRUE(h.Load(b));
  EXPECT_EQ(h.Run(), kMsgRegistryFolder);
  EXPECT_EQ(TargetFiles(h.dir), before);
  EXPECT_TRUE(TargetFolders(h.dir).empty());
}

// A restore whose target cannot be deleted leaves the new file in place and
// the old one in the backup folder; the other entries are still restored.
TEST(Rollback, ARestoreThatCannotDeleteTheNewFileGoesOn) {
  FaultPlatform fault;
  ApplyHarness h(fault.os());
  h.dir.Write("app/a.dll", kOld);
  h.dir.Write("app/b.dll", kOld);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kOld, kNew}));
  b.AddPatched(ChainEntry("b.dll", {kOld, kNew}));
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser,
                                       "Software\\selfpatch-missing", "Path"));
  ASSERT_TRUE(h.Load(b));
  fault.FailPath(kFaultDeleteFile, "app/a.dll");
  EXPECT_EQ(h.Run(), kMsgRegistryFolder);
  Files want = {{"a.dll", kNew}, {"BAK/a.dll", kOld}, {"b.dll", kOld}};
  EXPECT_EQ(TargetFiles(h.dir), want);
}

// The backup of a removed file that was already gone comes from an earlier
// run: a rollback leaves it where it is.
TEST(Rollback, RemovedFileThatWasAlreadyGone) {
  ApplyHarness h;
  h.dir.Write("app/BAK/gone.txt", "removed by an earlier patch");
  Files before = TargetFiles(h.dir);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("gone.txt");
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser,
                                       "Software\\selfpatch-missing", "Path"));
  ASSERT_TRUE(h.Load(b));
  EXPECT_EQ(h.Run(), kMsgRegistryFolder);
  EXPECT_EQ(TargetFiles(h.dir), before);
}

}  // namespace
