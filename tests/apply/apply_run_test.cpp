// The apply run end to end on real folders: what it does to the target
// folders, what it logs, and how it sequences the passes.
#include "apply/apply_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "support/apply_fixture.h"
#include "texts_big5.h"

namespace {

using Files = std::map<std::string, std::string>;

const std::string kV1 = "version one of the library, with some text";
const std::string kV2 = "version one of the library, changed a little";
const std::string kV3 =
    "version one of the library, changed much more than before";

// The log line of an entry: code 20 with the entry name, then the outcome.
std::string EntryLine(Session* s, const std::string& name, MsgCode outcome) {
  StrSetZ(&s->entry.name, name.c_str());
  std::string line = Message(s, kMsgUpdating) + Message(s, outcome);
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

TEST(ApplyRun, AppliesEveryKindOfEntryAndLogsEachLine) {
  ApplyHarness h;
  h.dir.Write("app/lib.dll", kV1);
  h.dir.Write("app/done.dll", kV3);  // already the new version
  h.dir.Write("app/sub/old.txt", "obsolete");
  h.dir.Write("app/keep.txt", "not in the patch");

  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("lib.dll", {kV1, kV3}));
  b.AddPatched(ChainEntry("done.dll", {kV1, kV3}));
  writer::NewFile nf;
  nf.name = "sub\\deep\\new.txt";
  nf.data = "brand new";
  b.AddNewFile(nf);
  b.AddRemoved("sub\\old.txt");
  ASSERT_TRUE(h.Load(b));

  EXPECT_EQ(h.Run(), kOk);
  Files expected = {{"lib.dll", kV3},
                    {"done.dll", kV3},
                    {"sub/deep/new.txt", "brand new"},
                    {"keep.txt", "not in the patch"},
                    {"BAK/lib.dll", kV1},
                    {"BAK/sub/old.txt", "obsolete"}};
  EXPECT_EQ(TargetFiles(h.dir), expected);
  // The staging folder went with its last file.
  for (const std::string& f : TargetFolders(h.dir))
    EXPECT_EQ(f.find("PATCH"), std::string::npos) << f;

  Session* s = h.s();
  std::string first = Message(s, kMsgChecking);
  std::vector<std::string> want = {
      "",
      "",  // code 30 ends with two line breaks
      EntryLine(s, "lib.dll", kMsgDone),
      EntryLine(s, "done.dll", kMsgAlreadyUpdated),
      EntryLine(s, "sub\\deep\\new.txt", kMsgDone),
  };
  want[0] = first.substr(0, first.find('\r'));
  ASSERT_EQ(h.done, want);
  EXPECT_TRUE(h.questions.empty());
}

// Where the run finds the old version of a patched file, and what each
// folder holds afterwards.
TEST(ApplyRun, FindsTheSourceAndKeepsTheBackup) {
  const std::string v0 = "the very first version";
  const std::string unknown = "a version the patch does not know";
  struct Case {
    const char* what;
    Files before;
    std::vector<std::string> versions;
    uint8_t flags;
    Files after;
  };
  const Case cases[] = {
      // Two steps pass through scratch files; none is left behind.
      {"a three source chain from the middle version",
       {{"a.bin", kV1}},
       {v0, kV1, kV2, kV3},
       0,
       {{"a.bin", kV3}, {"BAK/a.bin", kV1}}},
      // The unknown version takes the backup's place.
      {"a source found only in the backup folder",
       {{"a.bin", unknown}, {"BAK/a.bin", kV1}},
       {kV1, kV2},
       0,
       {{"a.bin", kV2}, {"BAK/a.bin", unknown}}},
      // A required file missing from the target folder is rebuilt from its
      // old version in the backup folder (what a run cut between its two
      // moves leaves); a missing optional file stays missing.
      {"a missing required file with its old version in the backup folder",
       {{"BAK/a.bin", kV1}},
       {kV1, kV2},
       0,
       {{"a.bin", kV2}, {"BAK/a.bin", kV1}}},
      {"a missing optional file with its old version in the backup folder",
       {{"BAK/a.bin", kV1}},
       {kV1, kV2},
       kEntryOptional,
       {{"BAK/a.bin", kV1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ApplyHarness h;
    for (const auto& f : c.before) h.dir.Write("app/" + f.first, f.second);
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(ChainEntry("a.bin", c.versions, c.flags));
    ASSERT_TRUE(h.Load(b));
    EXPECT_EQ(h.Run(), kOk);
    EXPECT_EQ(TargetFiles(h.dir), c.after);
    EXPECT_EQ(TargetFolders(h.dir), std::vector<std::string>{"BAK/"});
  }
}

// Optional and quiet files without a matching source, and a required one.
TEST(ApplyRun, FilesWithoutAMatchingSource) {
  struct Case {
    uint8_t flags;
    MsgCode result;
    std::vector<MsgCode> outcome;  // messages after code 20
  };
  const Case cases[] = {
      {0, kMsgRequiredMissing, {kMsgNoSource}},
      {kEntryOptional, kOk, {kMsgNoSource, kMsgOptionalMissing}},
      {kEntryOptional | kEntryQuiet, kOk, {kMsgNoSource}},
      {kEntryQuiet, kMsgRequiredMissing, {kMsgNoSource}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags " << (int)c.flags);
    ApplyHarness h;
    h.dir.Write("app/x.dll", "unknown");
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(ChainEntry("x.dll", {kV1, kV2}, c.flags));
    ASSERT_TRUE(h.Load(b));
    EXPECT_EQ(h.Run(), c.result);
    EXPECT_EQ(h.dir.Read("app/x.dll"), "unknown");
    Session* s = h.s();
    StrSetZ(&s->entry.name, "x.dll");
    std::string text;
    for (const std::string& l : h.lines()) text += l + "\n";
    std::string want = Message(s, kMsgUpdating) + Message(s, c.outcome[0]);
    want = want.substr(0, want.size() - 1);  // the CR ends the line
    EXPECT_NE(text.find(want + "\n"), std::string::npos) << text;
    bool warned = text.find(Message(s, kMsgOptionalMissing).substr(0, 8)) !=
                  std::string::npos;
    EXPECT_EQ(warned, c.outcome.size() == 2);
    if (c.result != kOk) {
      // Logged by the run, after the entry's line.
      std::string err = Message(s, c.result);
      EXPECT_NE(text.find(err.substr(0, err.find('!'))), std::string::npos);
    }
  }
}

TEST(ApplyRun, SourceCountZeroIsAFileWithoutAMatchingSource) {
  ApplyHarness h;
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  writer::PatchedFile e = ChainEntry("x.dll", {kV1});
  ASSERT_TRUE(e.sources.empty());
  b.AddPatched(e);
  ASSERT_TRUE(h.Load(b));
  EXPECT_EQ(h.Run(), kMsgRequiredMissing);
}

TEST(ApplyRun, StagingFailureInTheSecondGroupLeavesEverythingAsItWas) {
  ApplyHarness h;
  h.dir.Write("app/a.dll", kV1);
  h.dir.Write("app/two/b.dll", "unknown version");
  ASSERT_TRUE(
      SeedRegistryValue("", "Folder", kRegSz, h.dir.Path("app/two") + '\0'));
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
  writer::NewFile nf;
  nf.name = "n.txt";
  nf.data = "new";
  b.AddNewFile(nf);
  b.RegistryGroup(kHkeyCurrentUser, kTestRegistryKey, "Folder", "BAK2");
  b.AddPatched(ChainEntry("b.dll", {kV1, kV2}));
  ASSERT_TRUE(h.Load(b));
  Files before = TargetFiles(h.dir);
  EXPECT_EQ(h.Run(), kMsgRequiredMissing);
  EXPECT_EQ(TargetFiles(h.dir), before);
  // The cleanup pass deleted the staged files and both staging folders.
  EXPECT_EQ(TargetFolders(h.dir), std::vector<std::string>{"two/"});
  RemoveTestRegistryKey();
}

TEST(ApplyRun, MultiGroupPayloadWithRegistryFolderAndScript) {
  ApplyHarness h;
  h.dir.Write("app/a.dll", kV1);
  h.dir.Write("app/two/b.dll", kV2);
  ASSERT_TRUE(
      SeedRegistryValue("", "Folder", kRegSz, h.dir.Path("app/two") + '\0'));
  ASSERT_TRUE(SeedRegistryValue("Settings", "Version", kRegSz,
                                std::string("1.0") + '\0'));
  std::string settings = std::string(kTestRegistryKey) + "\\Settings";
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
  b.RegistryGroup(kHkeyCurrentUser, kTestRegistryKey, "Folder", "BAK2");
  b.AddPatched(ChainEntry("b.dll", {kV1, kV2, kV3}));
  b.AddRegistry(
      writer::RegistryScript(kHkeyCurrentUser, kTestRegistryKey, "Folder")
          .OpenKey(kHkeyCurrentUser, settings)
          .SetString("Version", "2.0")
          .SetDword("Build", 7));
  ASSERT_TRUE(h.Load(b));
  EXPECT_EQ(h.Run(), kOk);
  EXPECT_EQ(h.dir.Read("app/a.dll"), kV2);
  EXPECT_EQ(h.dir.Read("app/two/b.dll"), kV3);
  EXPECT_EQ(h.dir.Read("app/two/BAK2/b.dll"), kV2);

  const Platform* os = h.s()->os;
  RegKey key = 0;
  ASSERT_TRUE(os->reg_open(kHkeyCurrentUser, settings.c_str(), kKeyRead, &key));
  char buf[16] = {0};
  uint32_t type = 0, size = sizeof buf;
  ASSERT_TRUE(os->reg_query(key, "Version", &type, buf, &size));
  EXPECT_EQ(std::string(buf, size), std::string("2.0") + '\0');
  EXPECT_EQ(type, kRegSz);
  uint8_t d[4];
  size = 4;
  ASSERT_TRUE(os->reg_query(key, "Build", &type, d, &size));
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(d[0], 7);
  os->reg_close(key);
  RemoveTestRegistryKey();
}

TEST(ApplyRun, ATargetGroupThatCannotBeResolvedRunsNoPass) {
  ApplyHarness h;
  writer::PayloadBuilder b;
  b.RegistryGroup(kHkeyCurrentUser, "Software\\selfpatch-no-such-key", "Folder",
                  "BAK");
  writer::NewFile nf;
  nf.name = "n.txt";
  b.AddNewFile(nf);
  ASSERT_TRUE(h.Load(b));
  EXPECT_EQ(h.Run(), kMsgRegistryFolder);
  EXPECT_TRUE(TargetFiles(h.dir).empty());
  EXPECT_TRUE(TargetFolders(h.dir).empty());
}

TEST(ApplyRun, CancelBeforeTheRunEndsInTheStagingPass) {
  ApplyHarness h;
  h.dir.Write("app/a.dll", kV1);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
  ASSERT_TRUE(h.Load(b));
  h.s()->cancel = true;
  Files before = TargetFiles(h.dir);
  EXPECT_EQ(h.Run(), kMsgCancelled);
  EXPECT_EQ(TargetFiles(h.dir), before);
  EXPECT_TRUE(TargetFolders(h.dir).empty());
}

// A cancel that arrives while the only group is being staged is honoured
// by the commit pass at its first group: nothing is committed.
TEST(ApplyRun, CancelDuringTheLastStagedGroupStopsTheCommitPass) {
  ApplyHarness h;
  h.dir.Write("app/a.dll", kV1);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
  writer::NewFile nf;
  nf.name = "n.txt";
  nf.data = "x";
  b.AddNewFile(nf);
  ASSERT_TRUE(h.Load(b));
  Session* s = h.s();
  // The pump runs during the staging pass; the window would set the flag.
  s->hooks.pump = [](void* ctx) {
    static_cast<ApplyHarness*>(ctx)->s()->cancel = true;
  };
  Files before = TargetFiles(h.dir);
  EXPECT_EQ(h.Run(), kMsgCancelled);
  EXPECT_EQ(TargetFiles(h.dir), before);
  EXPECT_TRUE(TargetFolders(h.dir).empty());
  EXPECT_EQ(s->committed_count, 0);
}

TEST(ApplyRun, SecondRunOfTheSameProgramFindsEverythingUpdated) {
  ApplyHarness h;
  h.dir.Write("app/a.dll", kV1);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
  ASSERT_TRUE(h.Load(b));
  ASSERT_EQ(h.Run(), kOk);
  h.done.clear();
  EXPECT_EQ(h.Run(), kOk);
  EXPECT_EQ(h.dir.Read("app/a.dll"), kV2);
  EXPECT_EQ(h.dir.Read("app/BAK/a.dll"), kV1);
  ASSERT_EQ(h.done.size(), 3u);
  EXPECT_EQ(h.done[2], EntryLine(h.s(), "a.dll", kMsgAlreadyUpdated));
}

// The time stamp of the entry lands on the committed file, and on a file
// that was already up to date.
TEST(ApplyRun, CommittedFilesGetTheEntryTimeStamp) {
  ApplyHarness h;
  h.dir.Write("app/a.dll", kV1);
  h.dir.Write("app/b.dll", kV2);
  h.dir.Write("ref1", "");
  h.dir.Write("ref2", "");
  const uint32_t stamp1 =
      (21u << 25 | 2u << 21 | 3u << 16) | (4u << 11 | 5u << 5 | 3u);
  const uint32_t stamp2 = (30u << 25 | 7u << 21 | 9u << 16) | (10u << 11);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  writer::PatchedFile a = ChainEntry("a.dll", {kV1, kV2});
  a.new_stamp = stamp1;
  writer::PatchedFile bb = ChainEntry("b.dll", {kV1, kV2});
  bb.new_stamp = stamp1;
  writer::NewFile nf;
  nf.name = "n.txt";
  nf.stamp = stamp2;
  b.AddPatched(a);
  b.AddPatched(bb);
  b.AddNewFile(nf);
  ASSERT_TRUE(h.Load(b));
  ASSERT_EQ(h.Run(), kOk);

  // Reference files stamped directly through the same table.
  const Platform* os = h.s()->os;
  for (auto [name, stamp] :
       {std::pair<const char*, uint32_t>{"ref1", stamp1}, {"ref2", stamp2}}) {
    PlatformFile f = os->open_file(h.dir.Path(name).c_str(), kOpenForUpdate);
    ASSERT_NE(f, nullptr);
    os->set_file_stamp(f, stamp);
    os->close(f);
  }
  namespace fs = std::filesystem;
  auto when = [&](const char* rel) {
    return fs::last_write_time(h.dir.Path(rel));
  };
  EXPECT_EQ(when("app/a.dll"), when("ref1"));
  EXPECT_EQ(when("app/b.dll"), when("ref1"));  // already updated
  EXPECT_EQ(when("app/n.txt"), when("ref2"));
}

}  // namespace
