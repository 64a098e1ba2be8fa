// The entry-pass runner: group walks, staging folders, the stop flag and the
// cancel flag, first failures, and what a pass operation may do to the
// cursor.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "container/payload_stream.h"
#include "payload/entry_pass.h"
#include "payload/target_groups.h"
#include "support/payload_fixture.h"
#include "support/scratch_dir.h"

using writer::PayloadBuilder;
using writer::PayloadLayout;

namespace {

std::string S(const Str& s) { return std::string(s.s, (size_t)s.len); }

struct Visit {
  int32_t group;
  int kind;
  std::string name;  // "%m" as the operation sees it
  std::string target;
  std::string backup;
  std::string staging;
  int32_t ordinal;
};

// The operation under test records each call and then does `action`, which
// returns the operation's code.
struct Recorder {
  std::vector<Visit> visits;
  std::function<MsgCode(Session*, const Visit&)> action;
  std::vector<std::string> Names() const {
    std::vector<std::string> n;
    for (const Visit& v : visits) n.push_back(v.name);
    return n;
  }
};
Recorder* g_recorder = nullptr;

MsgCode RecordingOp(Session* s, int32_t group, uint8_t kind) {
  Visit v{group,
          kind,
          S(s->entry.name),
          S(s->target_folder),
          S(s->backup_name),
          S(s->staging[group]),
          s->entry_ordinal};
  g_recorder->visits.push_back(v);
  return g_recorder->action ? g_recorder->action(s, v) : kOk;
}

class EntryPass : public testing::Test {
 protected:
  void SetUp() override { g_recorder = &rec; }
  void TearDown() override { g_recorder = nullptr; }
  Session* s() { return ps.s(); }

  // Loads the payload and fills the group table as the reader would,
  // without the reader: group g's folder is folders[g].
  void Prepare(const PayloadBuilder& b, const std::vector<std::string>& folders) {
    ASSERT_TRUE(ps.Load(b, &at));
    ASSERT_EQ(at.body_pos.size(), folders.size());
    s()->groups.last = (int32_t)folders.size() - 1;
    for (size_t g = 0; g < folders.size(); g++) {
      s()->groups.body_pos[g] = at.body_pos[g];
      StrSetZ(&s()->groups.folder[g], folders[g].c_str());
    }
  }
  MsgCode Run(bool stop) {
    rec.visits.clear();
    return RunEntryPass(s(), RecordingOp, stop);
  }
  std::string Folder(const std::string& rel) const {
    return dir.path() + "\\" + rel;
  }

  ScratchDir dir;
  PayloadSession ps;
  PayloadLayout at;
  Recorder rec;
};

TEST_F(EntryPass, EmptyGroupMakesItsStagingFolderAndCallsNothing) {
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  const std::string target = Folder("not\\yet");
  Prepare(b, {target});
  EXPECT_EQ(Run(true), kOk);
  EXPECT_TRUE(rec.visits.empty());
  EXPECT_TRUE(dir.IsFolder("not/yet/PATCH0.TMP"));
  EXPECT_EQ(S(s()->staging[0]), target + "\\PATCH0.TMP");
}

TEST_F(EntryPass, VisitsEveryEntryInPayloadOrderWithItsGroupState) {
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK0");
  writer::PatchedFile p;
  p.name = "sub\\p.dll";
  p.sources.resize(1);
  p.sources[0].streams[0] = "commands";
  b.AddPatched(p);
  b.AddNewFile(writer::NewFile{"n.txt", "new"});
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser, "k", "v"));
  b.AddRemoved("r.txt");
  b.ChosenFolderGroup("BAK1");
  b.AddRemoved("x.txt");
  const std::string one = Folder("one"), two = Folder("two");
  Prepare(b, {one, two});
  const std::string st1 = one + "\\PATCH0.TMP", st2 = two + "\\PATCH0.TMP";
  const std::vector<Visit> want = {
      {0, kEntryPatched, "sub\\p.dll", one, "BAK0", st1, 0},
      {0, kEntryNew, "n.txt", one, "BAK0", st1, 1},
      {0, kEntryRegistry, "n.txt", one, "BAK0", st1, 2},  // no name of its own
      {0, kEntryRemoved, "r.txt", one, "BAK0", st1, 3},
      {1, kEntryRemoved, "x.txt", two, "BAK1", st2, 4},
  };
  // A second pass numbers from 0 again and reuses the staging folders.
  for (int pass = 0; pass < 2; pass++) {
    ASSERT_EQ(Run(pass == 0), kOk);
    ASSERT_EQ(rec.visits.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
      const Visit& v = rec.visits[i];
      EXPECT_EQ(v.group, want[i].group) << i;
      EXPECT_EQ(v.kind, want[i].kind) << i;
      EXPECT_EQ(v.name, want[i].name) << i;
      EXPECT_EQ(v.target, want[i].target) << i;
      EXPECT_EQ(v.backup, want[i].backup) << i;
      EXPECT_EQ(v.staging, want[i].staging) << i;
      EXPECT_EQ(v.ordinal, want[i].ordinal) << i;
    }
  }
  EXPECT_FALSE(dir.Exists("one/PATCH1.TMP"));
}

TEST_F(EntryPass, StagingFolderTakesTheFirstFreeNumber) {
  struct Case {
    std::vector<std::string> folders, files;
    MsgCode code;
    std::string staging;
  };
  const Case cases[] = {
      {{"PATCH0.TMP", "PATCH1.TMP"}, {}, kOk, "PATCH2.TMP"},
      {{"PATCH1.TMP"}, {}, kOk, "PATCH0.TMP"},
      {{"PATCH0.TMP", "PATCH1.TMP", "PATCH3.TMP"}, {}, kOk, "PATCH2.TMP"},
      {{"PATCH00.TMP"}, {"PATCH1.TMP.x"}, kOk, "PATCH0.TMP"},
      // A plain file of that name is not a folder: it is tried, and fails.
      {{}, {"PATCH0.TMP"}, kMsgStagingFolder, "PATCH0.TMP"},
      {{"PATCH0.TMP"}, {"PATCH1.TMP"}, kMsgStagingFolder, "PATCH1.TMP"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string rel = "case" + std::to_string(n++);
    for (const std::string& f : c.folders) dir.MakeFolder(rel + "/" + f);
    for (const std::string& f : c.files) dir.Write(rel + "/" + f, "file");
    PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddRemoved("a");
    StrClear(&s()->staging[0]);
    Prepare(b, {Folder(rel)});
    EXPECT_EQ(Run(true), c.code) << rel;
    // The slot holds the name even when the folder could not be made.
    EXPECT_EQ(S(s()->staging[0]), Folder(rel) + "\\" + c.staging) << rel;
    EXPECT_EQ(rec.visits.size(), c.code == kOk ? 1u : 0u) << rel;
    if (c.code == kOk) {
      EXPECT_TRUE(dir.IsFolder(rel + "/" + c.staging)) << rel;
    }
  }
}

// Once named, a staging folder is not searched for again in later passes,
// even when making it failed.
TEST_F(EntryPass, FailedStagingFolderIsNotRetriedByLaterPasses) {
  dir.Write("t/PATCH0.TMP", "a file in the way");
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("a");
  Prepare(b, {Folder("t")});
  EXPECT_EQ(Run(false), kMsgStagingFolder);
  EXPECT_EQ(Run(false), kOk);
  EXPECT_EQ(rec.Names(), std::vector<std::string>{"a"});
  EXPECT_FALSE(dir.Exists("t/PATCH1.TMP"));
}

TEST_F(EntryPass, TwentyGroupsEachGetTheirOwnStagingFolder) {
  PayloadBuilder b;
  std::vector<std::string> folders;
  for (int g = 0; g < kMaxGroups; g++) {
    b.ChosenFolderGroup("BAK");
    b.AddRemoved("f" + std::to_string(g));
    folders.push_back(Folder("same"));
  }
  Prepare(b, folders);
  ASSERT_EQ(Run(true), kOk);
  ASSERT_EQ(rec.visits.size(), (size_t)kMaxGroups);
  for (int g = 0; g < kMaxGroups; g++) {
    EXPECT_EQ(rec.visits[g].name, "f" + std::to_string(g));
    EXPECT_EQ(rec.visits[g].staging,
              Folder("same") + "\\PATCH" + std::to_string(g) + ".TMP");
  }
}

// An entry that cannot be read ends its group's walk with 37; the stop flag
// decides whether later groups are still walked.
TEST_F(EntryPass, UnreadableEntryEndsTheGroupWalkWith37) {
  writer::PatchedFile many;
  many.name = "many.dll";
  many.sources.resize(kMaxSources + 1);
  const struct {
    const char* what;
    std::string entry;
  } bad[] = {
      {"kind 4", std::string(1, '\x04')},
      {"kind 6", std::string(1, '\x06')},
      {"kind 200", std::string(1, '\xC8')},
      {"21 sources", writer::EncodePatchedEntry(many)},
      {"name leaving the folder", writer::EncodeRemovedEntry("..\\evil.dll")},
      {"absolute name", writer::EncodeNewFileEntry(writer::NewFile{"C:\\evil", "x"})},
  };
  for (const auto& c : bad) {
    for (bool stop : {true, false}) {
      PayloadBuilder b;
      b.ChosenFolderGroup("BAK");
      b.AddRemoved("a");
      b.AddRawEntry(c.entry);
      b.AddRemoved("b");
      b.ChosenFolderGroup("BAK");
      b.AddRemoved("c");
      Prepare(b, {Folder("g0"), Folder("g1")});
      EXPECT_EQ(Run(stop), kMsgStructure) << c.what;
      const std::vector<std::string> want =
          stop ? std::vector<std::string>{"a"}
               : std::vector<std::string>{"a", "c"};
      EXPECT_EQ(rec.Names(), want) << c.what << (stop ? " stop" : "");
    }
  }
}

TEST_F(EntryPass, FirstFailureIsReturnedAfterEveryGroupWithoutTheStopFlag) {
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("a");
  b.AddRemoved("b");  // not reached: a failure ends its group's walk
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("c");
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("d");
  Prepare(b, {Folder("g0"), Folder("g1"), Folder("g2")});
  rec.action = [](Session*, const Visit& v) -> MsgCode {
    if (v.name == "a") return kMsgRequiredMissing;
    if (v.name == "c") return kMsgDiskFull;
    return kOk;
  };
  EXPECT_EQ(Run(false), kMsgRequiredMissing);
  EXPECT_EQ(rec.Names(), (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_EQ(Run(true), kMsgRequiredMissing);
  EXPECT_EQ(rec.Names(), std::vector<std::string>{"a"});
}

TEST_F(EntryPass, CancelIsHonouredAtGroupStartsOnlyWithTheStopFlag) {
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("a");
  b.AddRemoved("b");
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("c");
  Prepare(b, {Folder("g0"), Folder("g1")});

  // Already cancelled: nothing of group 0 is read or made.
  s()->cancel = true;
  EXPECT_EQ(Run(true), kMsgCancelled);
  EXPECT_TRUE(rec.visits.empty());
  EXPECT_EQ(s()->staging[0].len, 0);
  EXPECT_FALSE(dir.Exists("g0"));

  // Passes without the stop flag (rollback, cleanup) ignore it.
  EXPECT_EQ(Run(false), kOk);
  EXPECT_EQ(rec.Names(), (std::vector<std::string>{"a", "b", "c"}));

  // A cancel during group 0 lets group 0 finish and stops before group 1
  // (whose staging folder, were it walked, would be made again).
  s()->cancel = false;
  StrClear(&s()->staging[1]);
  rec.action = [](Session* s, const Visit&) -> MsgCode {
    s->cancel = true;
    return kOk;
  };
  EXPECT_EQ(Run(true), kMsgCancelled);
  EXPECT_EQ(rec.Names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(s()->staging[1].len, 0);
  EXPECT_FALSE(dir.Exists("g1/PATCH1.TMP"));
}

// The next header is read where the previous one ended, wherever the
// operation left the cursor.
TEST_F(EntryPass, OperationsCannotMisplaceTheNextHeader) {
  const struct {
    const char* what;
    std::function<MsgCode(Session*, const Visit&)> action;
  } actions[] = {
      {"rewinds", [](Session* s, const Visit&) -> MsgCode {
         PayloadSeek(s, 0);
         return kOk;
       }},
      {"reads part of the data", [](Session* s, const Visit&) -> MsgCode {
         PayloadSeek(s, s->entry.data_pos);
         char buf[3];
         PayloadRead(s, buf, 3);
         return kOk;
       }},
      {"seeks past the end", [](Session* s, const Visit&) -> MsgCode {
         PayloadSeek(s, 0x7FFFFFF0u);
         return kOk;
       }},
  };
  for (const auto& a : actions) {
    PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddNewFile(writer::NewFile{"n1", "0123456789"});
    // A script whose end opcode comes before its stated length.
    b.AddRegistryBytes(writer::RegistryScript(kHkeyCurrentUser, "k", "v").Bytes() +
                       std::string("\x05\x03\x01\x02", 4));
    b.AddNewFile(writer::NewFile{"n2", "abcdefghij"});
    b.AddRemoved("r");
    Prepare(b, {Folder("t")});
    rec.action = a.action;
    EXPECT_EQ(Run(true), kOk) << a.what;
    EXPECT_EQ(rec.Names(), (std::vector<std::string>{"n1", "n1", "n2", "r"}))
        << a.what;
  }
}

TEST_F(EntryPass, BackupFolderNameThatCannotBeReadOrLeavesTheFolderGives1) {
  for (const std::string& backup :
       {std::string(""), std::string("."), std::string(".."),
        std::string("..\\BAK"), std::string("\\BAK"), std::string("C:\\BAK"),
        std::string("BAK\\..\\..")}) {
    for (bool stop : {true, false}) {
      PayloadBuilder b;
      b.ChosenFolderGroup(backup);
      b.AddRemoved("a");
      b.ChosenFolderGroup("BAK");
      b.AddRemoved("b");
      Prepare(b, {Folder("g0"), Folder("g1")});
      EXPECT_EQ(Run(stop), kMsgBroken) << backup;
      // Refused before the group's staging folder is made.
      EXPECT_FALSE(dir.Exists("g0")) << backup;
      EXPECT_EQ(rec.Names(), stop ? std::vector<std::string>{}
                                  : std::vector<std::string>{"b"})
          << backup;
    }
  }
  // A payload that ends inside the name.
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.SetRawBody("\x09" "BA");
  Prepare(b, {Folder("g0")});
  EXPECT_EQ(Run(true), kMsgBroken);
}

// Entry numbers are those of a complete walk, even after a group's walk
// stopped part way, so marks made by one pass match the entries of another.
TEST_F(EntryPass, EntryNumbersSurviveAGroupThatStoppedPartWay) {
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("a");
  b.AddRemoved("b");
  b.AddRemoved("c");
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("d");
  b.AddRemoved("e");
  ASSERT_TRUE(ps.Load(b, &at));
  ps.SetChosenFolder(Folder("t"));
  ASSERT_EQ(ReadTargetGroups(s()), kOk);
  rec.action = [](Session*, const Visit& v) -> MsgCode {
    return v.name == "b" ? kMsgDiskFull : kOk;
  };
  EXPECT_EQ(Run(false), kMsgDiskFull);
  std::vector<int32_t> ordinals;
  for (const Visit& v : rec.visits) ordinals.push_back(v.ordinal);
  EXPECT_EQ(rec.Names(), (std::vector<std::string>{"a", "b", "d", "e"}));
  EXPECT_EQ(ordinals, (std::vector<int32_t>{0, 1, 3, 4}));
}

// When the user picks another folder after a failed run, the group's
// staging folder is made beside the new folder, not reused from the old.
TEST_F(EntryPass, StagingFolderFollowsTheGroupToAnotherFolder) {
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("a");
  ASSERT_TRUE(ps.Load(b, &at));
  const struct {
    const char* folder;
    const char* staging;
  } runs[] = {
      {"first", "first\\PATCH0.TMP"},
      {"first", "first\\PATCH0.TMP"},  // same folder: same slot, no search
      {"second", "second\\PATCH0.TMP"},
  };
  for (const auto& r : runs) {
    ps.SetChosenFolder(Folder(r.folder));
    ASSERT_EQ(ReadTargetGroups(s()), kOk);
    ASSERT_EQ(Run(true), kOk);
    EXPECT_EQ(rec.visits[0].staging, Folder(r.staging)) << r.folder;
  }
  EXPECT_FALSE(dir.Exists("first/PATCH1.TMP"));
}

TEST_F(EntryPass, NoGroupsNoCalls) {
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("a");
  ASSERT_TRUE(ps.Load(b, &at));
  s()->groups.last = -1;
  EXPECT_EQ(Run(true), kOk);
  EXPECT_TRUE(rec.visits.empty());
}

// The whole road: builder, container writer, loader, reader and runner; the
// operation finds each entry's data where the header says.
TEST_F(EntryPass, PayloadThroughTheContainerReadsBack) {
  const std::string nul(1, '\0');
  RemoveTestRegistryKey();
  ASSERT_TRUE(SeedRegistryValue("", "Dir", kRegSz, Folder("reg") + nul));
  PayloadBuilder b;
  b.SetTexts("notice text", "description");
  b.ChosenFolderGroup("BAK");
  b.AddNewFile(writer::NewFile{"big.bin", std::string(5000, 'B') + "end"});
  writer::PatchedFile p;
  p.name = "p.dll";
  p.flags = kEntryHasHoles;
  p.sources.resize(2);
  p.sources[0].streams[1] = "first source flags";
  p.sources[1].name = "older\\p.dll";
  p.sources[1].streams[4] = "second source trailer";
  b.AddPatched(p);
  b.RegistryGroup(kHkeyCurrentUser, kTestRegistryKey, "Dir", "BAK2");
  const std::string script =
      writer::RegistryScript(kHkeyCurrentUser, "k", "v").SetString("a", "b").Bytes();
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser, "k", "v").SetString("a", "b"));
  for (bool deflate : {true, false}) {
    ASSERT_EQ(ps.LoadThroughContainer(b, dir.Path("patch.exe"), deflate), kOk);
    ps.SetChosenFolder(Folder("app"));
    ASSERT_EQ(ReadTargetGroups(s()), kOk);
    std::vector<std::string> data;
    rec.action = [&data](Session* s, const Visit& v) -> MsgCode {
      std::string got;
      auto take = [&](uint32_t pos, uint32_t len) {
        std::string buf(len, '\0');
        PayloadSeek(s, pos);
        EXPECT_TRUE(PayloadRead(s, &buf[0], (int32_t)len));
        got += buf + "|";
      };
      if (v.kind == kEntryPatched) {
        for (int k = 0; k < s->entry.source_count; k++) {
          const SourceSlot& src = s->entry.source[k];
          got += S(src.name) + ":";
          uint32_t len = 0;
          for (int i = 0; i < kStreamCount; i++) len += src.record.stream_len[i];
          take(src.data_pos, len);
        }
      } else {
        take(s->entry.data_pos, s->entry.data_length);
      }
      data.push_back(got);
      return kOk;
    };
    ASSERT_EQ(Run(true), kOk);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0], std::string(5000, 'B') + "end|");
    EXPECT_EQ(data[1],
              "p.dll:first source flags|older\\p.dll:second source trailer|");
    EXPECT_EQ(data[2], script + "|");
    EXPECT_EQ(rec.visits[2].target, Folder("reg"));
    EXPECT_EQ(rec.visits[2].backup, "BAK2");
  }
  RemoveTestRegistryKey();
}

}  // namespace
