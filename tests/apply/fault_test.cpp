// The apply run under failing file operations: whatever fails, the target
// folders end as they started, or (for a file in use) the restart schedule
// completes the patch, and no user file is lost.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "apply/apply_run.h"
#include "support/apply_fixture.h"
#include "support/fault_platform.h"

namespace {

using Files = std::map<std::string, std::string>;

const std::string kV0 = "zero: the first version of the file";
const std::string kV1 = "one: the next version of the file, longer";
const std::string kV2 = "two: a version with quite different text in it";
const std::string kV3 = "three: the newest version, the one a patch brings";

// Two groups with every kind of entry; the second group's folder comes from
// the registry and it carries a registry script.
struct Representative {
  Files before;
  Files after;  // a complete run

  void Seed(ApplyHarness& h) {
    SeedRegistryFolderGroup(h);
    before = {{"a.dll", kV1},        {"sub/b.dll", kV0},
              {"d.txt", "obsolete"}, {"e.dll", kV2},
              {"two/f.dll", kV1},    {"user.txt", "the user's own file"}};
    for (const auto& f : before) h.dir.Write("app/" + f.first, f.second);
    after = {{"a.dll", kV2},           {"sub/b.dll", kV3},
             {"sub/new/c.txt", "new"}, {"e.dll", kV2},
             {"two/f.dll", kV2},       {"BAK/a.dll", kV1},
             {"BAK/sub/b.dll", kV0},   {"BAK/d.txt", "obsolete"},
             {"two/BAK2/f.dll", kV1},  {"user.txt", "the user's own file"}};
  }

  writer::PayloadBuilder Payload() const {
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(ChainEntry("a.dll", {kV1, kV2}));
    b.AddPatched(ChainEntry("sub\\b.dll", {kV0, kV1, kV3}));
    writer::NewFile nf;
    nf.name = "sub\\new\\c.txt";
    nf.data = "new";
    b.AddNewFile(nf);
    b.AddRemoved("d.txt");
    b.AddPatched(ChainEntry("e.dll", {kV1, kV2}));
    AddRegistryFolderGroup(&b, kV1, kV2);
    return b;
  }
};

// What a run with one failure may leave, by its result.
void ExpectConsistent(ApplyHarness& h, MsgCode rc, const Representative& r) {
  if (rc == kMsgInUse || rc == kMsgRestartDeclined) {
    CarryOutRestartMoves(h.restart);
    EXPECT_EQ(WithoutStaging(TargetFiles(h.dir)), r.after)
        << "the restart schedule does not complete the patch";
  } else if (rc == kOk) {
    EXPECT_EQ(WithoutStaging(TargetFiles(h.dir)), r.after);
  } else {
    EXPECT_EQ(WithoutStaging(TargetFiles(h.dir)), r.before);
  }
}

TEST(ApplyFaults, RepresentativePatchAppliesCleanly) {
  Representative r;
  ApplyHarness h;
  r.Seed(h);
  ASSERT_TRUE(h.Load(r.Payload()));
  EXPECT_EQ(h.Run(), kOk);
  EXPECT_EQ(TargetFiles(h.dir), r.after);
  EXPECT_EQ(TargetFolders(h.dir),
            (std::vector<std::string>{"BAK/", "BAK/sub/", "sub/", "sub/new/",
                                      "two/", "two/BAK2/"}));
  RemoveTestRegistryKey();
}

// Every file operation of a whole run, failed in turn.
TEST(ApplyFaults, EachFileOperationFailingInTurn) {
  Representative r;
  int total = 0;
  {
    FaultPlatform fault;
    ApplyHarness h(fault.os());
    r.Seed(h);
    ASSERT_TRUE(h.Load(r.Payload()));
    ASSERT_EQ(h.Run(), kOk);
    total = fault.Calls(kFaultAnyFileOp);
  }
  ASSERT_GT(total, 50);
  int failures = 0, restarts = 0;
  for (int k = 1; k <= total; k++) {
    SCOPED_TRACE(testing::Message() << "file operation " << k << " fails");
    FaultPlatform fault;
    ApplyHarness h(fault.os());
    r.Seed(h);
    ASSERT_TRUE(h.Load(r.Payload()));
    fault.Record(true);
    fault.FailCall(kFaultAnyFileOp, k);
    MsgCode rc = h.Run();
    if (rc != kOk) failures++;
    if (rc == kMsgRestartDeclined) restarts++;
    ExpectConsistent(h, rc, r);
    if (HasFailure()) {
      for (const auto& m : h.restart.moves)
        ADD_FAILURE() << "scheduled: " << m.first << " -> " << m.second;
      ReportFailedCalls(fault, ", result " + std::to_string(rc));
      break;
    }
  }
  // The sweep reached both the undo and the restart branches.
  EXPECT_GT(failures, 0);
  EXPECT_GT(restarts, 0);
  RemoveTestRegistryKey();
}

// A disk that fills up: writes succeed until a byte budget is spent, the
// write that crosses it stores what fits and fails.
TEST(ApplyFaults, DiskFillingUpAtEveryPoint) {
  Representative r;
  int failed = 0;
  for (int64_t budget = 0; budget < 400; budget += 7) {
    SCOPED_TRACE(testing::Message() << "write budget " << budget);
    FaultPlatform fault;
    ApplyHarness h(fault.os());
    r.Seed(h);
    ASSERT_TRUE(h.Load(r.Payload()));
    fault.LimitWrites(budget);
    MsgCode rc = h.Run();
    if (rc == kOk) {
      EXPECT_EQ(TargetFiles(h.dir), r.after);
      continue;
    }
    failed++;
    EXPECT_TRUE(rc == kMsgDiskFull || rc == kMsgTempFull) << rc;
    EXPECT_EQ(WithoutStaging(TargetFiles(h.dir)), r.before);
  }
  EXPECT_GT(failed, 20);
  RemoveTestRegistryKey();
}

// Named cases, each with the code the user is told.
TEST(ApplyFaults, NamedFailuresAndTheirCodes) {
  struct Case {
    const char* what;
    FaultOp op;
    const char* path;  // every call on a path holding this fails
    MsgCode result;
  };
  const Case cases[] = {
      // A backup of a.dll from an earlier run cannot be deleted to make
      // room for the current file.
      {"delete of an old backup", kFaultDeleteFile, "BAK/a.dll",
       kMsgReplaceFailed},
      // The staged file of sub\b.dll cannot be moved into place.
      {"move of a staged file", kFaultMoveFile, "PATCH0.TMP/sub/b.dll",
       kMsgStructure},
      // The new file cannot be written into the staging folder.
      {"creation of a staged file", kFaultOpenFile, "PATCH0.TMP/sub/new/c.txt",
       kMsgDiskFull},
      // The registry value cannot be set after every file was committed.
      {"registry write", kFaultRegSet, "Version", kMsgRegistryAccess},
      // No temporary file for the delta streams.
      {"temporary file", kFaultCreateTempFile, nullptr, kMsgTempFull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Representative r;
    FaultPlatform fault;
    ApplyHarness h(fault.os());
    r.Seed(h);
    ASSERT_TRUE(h.Load(r.Payload()));
    if (c.op == kFaultDeleteFile)
      h.dir.Write("app/BAK/a.dll", "earlier backup");
    r.before = TargetFiles(h.dir);
    if (c.path)
      fault.FailPath(c.op, c.path);
    else
      fault.FailFrom(c.op, 1);
    EXPECT_EQ(h.Run(), c.result);
    EXPECT_EQ(WithoutStaging(TargetFiles(h.dir)), r.before);
    // The code is in the log, as the window would show it.
    std::string log;
    for (const std::string& l : h.lines()) log += l;
    std::string text = Message(h.s(), c.result);
    std::string first_word = text.substr(text.find_first_not_of('\r'));
    first_word = first_word.substr(0, first_word.find_first_of(" \r"));
    EXPECT_NE(log.find(first_word), std::string::npos);
  }
  RemoveTestRegistryKey();
}

}  // namespace
