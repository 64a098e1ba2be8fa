// The staging pass in detail: scratch files, verification of the rebuilt
// file, CRC holes, and the staged files it leaves for the commit pass.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "apply/apply_run.h"
#include "apply/passes.h"
#include "payload/entry_pass.h"
#include "payload/target_groups.h"
#include "support/apply_fixture.h"
#include "support/fault_platform.h"

namespace {

const std::string kA = "aaaa: first version of a file with a stamp: 0001";
const std::string kB = "aaaa: second version of the file with a stamp: 0002";
const std::string kC = "aaaa: third and newest version, its stamp is: 0003";

// Names of the scratch files created, in order, from a recorded call log.
// Each scratch file is opened twice: created by one step, read by the next.
std::vector<std::string> ScratchCreations(const FaultPlatform& fault) {
  std::vector<std::string> opens;
  for (const std::string& l : fault.log()) {
    size_t at = l.find("BINTMP");
    if (l.compare(0, 9, "open_file") == 0 && at != std::string::npos)
      opens.push_back(l.substr(at, 11));
  }
  std::vector<std::string> out;
  for (size_t i = 0; i < opens.size(); i += 2) {
    if (i + 1 < opens.size()) {
      EXPECT_EQ(opens[i], opens[i + 1]);
    }
    out.push_back(opens[i]);
  }
  return out;
}

// The scratch names alternate over the program's life, starting with
// BINTMP2.TMP, across entries and across runs.
TEST(StagingPass, ScratchFilesAlternateForTheWholeProgram) {
  FaultPlatform fault;
  fault.Record(true);
  ApplyHarness h(fault.os());
  h.dir.Write("app/x.bin", kA);
  h.dir.Write("app/y.bin", kA);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("x.bin", {kA, kB, kC}));  // one scratch file
  b.AddPatched(ChainEntry("y.bin", {kA, kB, kC}));  // another
  ASSERT_TRUE(h.Load(b));
  ASSERT_EQ(h.Run(), kOk);
  EXPECT_EQ(ScratchCreations(fault),
            (std::vector<std::string>{"BINTMP2.TMP", "BINTMP1.TMP"}));
  // A second run with both files old again continues the alternation.
  h.dir.Write("app/x.bin", kA);
  ASSERT_EQ(h.Run(), kOk);
  EXPECT_EQ(
      ScratchCreations(fault),
      (std::vector<std::string>{"BINTMP2.TMP", "BINTMP1.TMP", "BINTMP2.TMP"}));
  EXPECT_EQ(h.dir.Read("app/x.bin"), kC);
}

// A wrong intermediate step is only seen by the final comparison.
TEST(StagingPass, DamagedIntermediateStepGives12) {
  ApplyHarness h;
  h.dir.Write("app/x.bin", kA);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  writer::PatchedFile e = ChainEntry("x.bin", {kA, kB, kC});
  // The first step yields another file than the second expects.
  e.sources[0] = DeltaSource("", kA, "Z" + kB.substr(1));
  b.AddPatched(e);
  ASSERT_TRUE(h.Load(b));
  EXPECT_EQ(h.Run(), kMsgBadChecksum);
  EXPECT_EQ(TargetFiles(h.dir),
            (std::map<std::string, std::string>{{"x.bin", kA}}));
}

// Checksums that leave a byte range out (a build stamp, say): both the
// already-updated check and the check of a rebuilt file leave it out.
TEST(StagingPass, EntryHoleIsLeftOutOfBothChecks) {
  const uint32_t hole_at = (uint32_t)kC.size() - 4, hole_len = 4;
  const std::string other_stamp = kC.substr(0, hole_at) + "9999";
  struct Case {
    const char* what;
    std::string present;
    std::string rebuilt;  // what the delta makes of kA: kC, or damaged
    MsgCode result;
    std::string after;
  };
  const Case cases[] = {
      {"rebuilt file with a hole in its checksum", kA, kC, kOk, kC},
      {"a file differing only inside the hole is already updated",
       other_stamp, kC, kOk, other_stamp},
      {"a rebuilt file differing outside the hole is refused", kA,
       "X" + kC.substr(1), kMsgBadChecksum, kA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ApplyHarness h;
    h.dir.Write("app/x.bin", c.present);
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    writer::PatchedFile e = ChainEntry("x.bin", {kA, kC}, kEntryHasHoles);
    e.hole.offset = hole_at;
    e.hole.length = hole_len;
    e.new_checksum = CrcOf(kC, hole_at, hole_len);
    if (c.rebuilt != kC) e.sources[0] = DeltaSource("", kA, c.rebuilt);
    b.AddPatched(e);
    ASSERT_TRUE(h.Load(b));
    EXPECT_EQ(h.Run(), c.result);
    EXPECT_EQ(h.dir.Read("app/x.bin"), c.after);
  }
}

// Source holes: the old file is recognised with its own hole left out.
TEST(StagingPass, SourceHoleIsLeftOutOfTheSourceCheck) {
  ApplyHarness h;
  std::string present = kA.substr(0, kA.size() - 4) + "7777";
  h.dir.Write("app/x.bin", present);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  writer::PatchedFile e = ChainEntry("x.bin", {present, kB}, kEntryHasHoles);
  e.sources[0].hole.offset = (uint32_t)kA.size() - 4;
  e.sources[0].hole.length = 4;
  e.sources[0].record.old_checksum = CrcOf(kA, (uint32_t)kA.size() - 4, 4);
  b.AddPatched(e);
  ASSERT_TRUE(h.Load(b));
  EXPECT_EQ(h.Run(), kOk);
  EXPECT_EQ(h.dir.Read("app/x.bin"), kB);
}

// What is staged, and what fails, for entries that name one file twice or
// carry no bytes.
TEST(StagingPass, StagedFilesOfNewFiles) {
  using Files = std::map<std::string, std::string>;
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> entries;  // name, bytes
    MsgCode result;
    Files after;
  };
  const Case cases[] = {
      {"a new file of no bytes", {{"empty.txt", ""}}, kOk,
       {{"empty.txt", ""}}},
      {"two entries of one name in one group",
       {{"twice.txt", "1"}, {"twice.txt", "2"}}, kMsgDiskFull, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ApplyHarness h;
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    for (const auto& entry : c.entries) {
      writer::NewFile nf;
      nf.name = entry.first;
      nf.data = entry.second;
      b.AddNewFile(nf);
    }
    ASSERT_TRUE(h.Load(b));
    EXPECT_EQ(h.Run(), c.result);
    EXPECT_EQ(TargetFiles(h.dir), c.after);
    EXPECT_TRUE(TargetFolders(h.dir).empty());
  }
}

// The staging pass changes no target file, and every file it opens is
// closed again, whatever the outcome of the entry.
TEST(StagingPass, ClosesEverythingItOpens) {
  struct Case {
    const char* what;
    FaultOp op;
    int call;
    MsgCode result;
  };
  const Case cases[] = {
      {"success", kFaultOpCount, 0, kOk},
      {"third temporary stream file", kFaultCreateTempFile, 3, kMsgTempFull},
      {"a write to a stream file", kFaultWrite, 1, kMsgTempFull},
      {"the scratch file of the first step", kFaultOpenFile, 3, kMsgDiskFull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultPlatform fault;
    ApplyHarness h(fault.os());
    h.dir.Write("app/x.bin", kA);
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(ChainEntry("x.bin", {kA, kB, kC}));
    ASSERT_TRUE(h.Load(b));
    ASSERT_EQ(ReadTargetGroups(h.s()), kOk);
    fault.Reset();
    if (c.op != kFaultOpCount) fault.FailCall(c.op, c.call);
    MarksReset(h.s());
    EXPECT_EQ(RunEntryPass(h.s(), StagingPass, true), c.result);
    bool open_failed = c.op == kFaultOpenFile || c.op == kFaultCreateTempFile;
    int opened = fault.Calls(kFaultOpenFile) +
                 fault.Calls(kFaultCreateTempFile) - (open_failed ? 1 : 0);
    EXPECT_EQ(fault.Calls(kFaultClose), opened);
    EXPECT_EQ(h.dir.Read("app/x.bin"), kA);
  }
}

}  // namespace
