// Whole apply runs of a three-group patch (chosen folder, registry value,
// Windows folder) with one file operation failing, for every operation the
// run makes; then the same with every operation failing from some point on,
// as when a disk or a network share goes away part way.
//
// After each run:
//   - a failure is reported as a failure: the result is a message code, and
//     it is 0 only when the patch is complete;
//   - a failed run leaves the target folders byte for byte as they started;
//     a run that ended with the restart schedule (7, 10) leaves a schedule
//     that completes the patch;
//   - whatever happened, no file's bytes are lost;
//   - nothing is left behind but what the design keeps: files inside the
//     run's staging folders, each of them an entry's staged file or a
//     scratch file, and no registry key or file handle left open;
//   - the user can press Apply again once the fault is gone, and that run
//     completes the patch, or finds a complete one already updated.
#include <gtest/gtest.h>
#include <string.h>

#include <filesystem>
#include <map>
#include <string>

#include "apply/apply_run.h"
#include "support/apply_fixture.h"
#include "support/fault_platform.h"

namespace {

using Files = std::map<std::string, std::string>;

const std::string kV0 = "version zero of the library, the oldest one known";
const std::string kV1 = "version one of the library: what the user has now";
const std::string kV2 = "version two of the library, one step further on";
const std::string kV3 = "version three of the library, the one the patch brings";

// The Windows folder of the patch: a scratch folder, so group kind 2 runs
// without touching the machine's own. One table may be alive at a time.
struct WindowsFolderTable {
  explicit WindowsFolderTable(const std::string& folder) : table(*PlatformNative()) {
    current = this;
    path = folder;
    table.windows_folder = [](char* buf, int32_t cap) -> int32_t {
      const std::string& p = current->path;
      if ((int32_t)p.size() + 1 > cap) return 0;
      memcpy(buf, p.c_str(), p.size() + 1);
      return (int32_t)p.size();
    };
  }
  ~WindowsFolderTable() { current = nullptr; }
  Platform table;
  std::string path;
  static WindowsFolderTable* current;
};
WindowsFolderTable* WindowsFolderTable::current = nullptr;

// Everything below the scratch folder that is a file, "app/..." and
// "win/...".
Files AllFiles(const ScratchDir& dir) {
  Files out;
  for (const auto& kv : dir.Snapshot())
    if (kv.first.back() != '/') out.insert(kv);
  return out;
}

struct Patch {
  Files before;    // the folders as the user has them
  Files complete;  // after a successful run
  // What may stand in a staging folder: entry names and scratch files.
  std::vector<std::string> staged_names = {
      "a.dll", "sub/new/c.txt", "e.dll", "f.dll", "orvenda.ini",
      "BINTMP1.TMP", "BINTMP2.TMP"};

  void Seed(ApplyHarness& h) {
    SeedRegistryFolderGroup(h);
    before = {{"app/a.dll", kV1},
              {"app/d.txt", "obsolete notes"},
              {"app/e.dll", kV3},
              {"app/user.txt", "the user's own file"},
              {"app/two/f.dll", kV1},
              {"win/orvenda.ini", "[Orvenda]\r\nVersion=1\r\n"},
              {"win/old.sys", "an obsolete driver"}};
    for (const auto& f : before) h.dir.Write(f.first, f.second);
    complete = {{"app/a.dll", kV3},
                {"app/BAK/a.dll", kV1},
                {"app/sub/new/c.txt", "a new file in a new folder"},
                {"app/BAK/d.txt", "obsolete notes"},
                {"app/e.dll", kV3},
                {"app/user.txt", "the user's own file"},
                {"app/two/f.dll", kV2},
                {"app/two/BAK2/f.dll", kV1},
                {"win/orvenda.ini", "[Orvenda]\r\nVersion=2\r\n"},
                {"win/OLD/orvenda.ini", "[Orvenda]\r\nVersion=1\r\n"},
                {"win/OLD/old.sys", "an obsolete driver"}};
  }

  writer::PayloadBuilder Payload() const {
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(ChainEntry("a.dll", {kV0, kV1, kV2, kV3}));
    writer::NewFile nf;
    nf.name = "sub\\new\\c.txt";
    nf.data = "a new file in a new folder";
    b.AddNewFile(nf);
    b.AddRemoved("d.txt");
    b.AddPatched(ChainEntry("opt.dll", {kV0, kV1}, kEntryOptional | kEntryQuiet));
    b.AddPatched(ChainEntry("e.dll", {kV2, kV3}));  // already updated
    AddRegistryFolderGroup(&b, kV1, kV2);
    b.WindowsFolderGroup("OLD");
    writer::NewFile ini;
    ini.name = "orvenda.ini";
    ini.data = "[Orvenda]\r\nVersion=2\r\n";
    b.AddNewFile(ini);
    b.AddRemoved("old.sys");
    return b;
  }
};

int OpenDescriptors() {
  // Only where the system lists them; elsewhere the check is skipped.
  std::error_code ec;
  if (!std::filesystem::exists("/proc/self/fd", ec)) return -1;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    n++;
  return n;
}

// Every byte string of `before` is still held by at least as many files.
void ExpectNothingLost(const Files& before, const Files& after) {
  std::map<std::string, int> need, have;
  for (const auto& f : before) need[f.second]++;
  for (const auto& f : after) have[f.second]++;
  for (const auto& f : before)
    EXPECT_GE(have[f.second], need[f.second]) << "lost: the bytes of " << f.first;
}

// Leftovers are files in staging folders, each one an entry's staged file
// or a scratch file.
void ExpectOnlyDocumentedLeftovers(const Patch& p, const Files& after) {
  for (const auto& f : after) {
    std::string inside;
    if (!InStagingFolder(f.first, &inside)) continue;
    bool known = false;
    for (const std::string& n : p.staged_names) known |= inside == n;
    EXPECT_TRUE(known) << "left behind: " << f.first;
  }
}

enum class Fault { kOnce, kFromThenOn };

// The patch laid out in a scratch folder, its Windows folder among them,
// with a fault table under the harness.
struct Rig {
  Rig() {
    win.path = h.dir.Path("win");
    p.Seed(h);
  }
  WindowsFolderTable win{""};
  Patch p;
  FaultPlatform fault{&win.table};
  ApplyHarness h{fault.os()};
};

// One run with the fault, the checks, then a retry without it.
void RunWithFault(Fault kind, int k, int* failures, int* restarts) {
  Rig rig;
  Patch& p = rig.p;
  FaultPlatform& fault = rig.fault;
  ApplyHarness& h = rig.h;
  ASSERT_TRUE(h.Load(p.Payload()));
  const int fds = OpenDescriptors();
  fault.Record(true);
  if (kind == Fault::kOnce)
    fault.FailCall(kFaultAnyFileOp, k);
  else
    fault.FailFrom(kFaultAnyFileOp, k);

  MsgCode rc = h.Run();
  EXPECT_GE(rc, 0);
  EXPECT_LE(rc, 41);
  if (rc != kOk) ++*failures;
  EXPECT_EQ(fault.Calls(kFaultRegOpen), fault.Calls(kFaultRegClose))
      << "a registry key stays open";
  if (fds >= 0) {
    EXPECT_EQ(OpenDescriptors(), fds) << "a file stays open";
  }

  Files after = AllFiles(h.dir);
  ExpectOnlyDocumentedLeftovers(p, after);
  if (rc == kMsgInUse || rc == kMsgRestartDeclined) {
    ++*restarts;
    CarryOutRestartMoves(h.restart);
    after = AllFiles(h.dir);
    // With every later operation failing, the folders the schedule needs
    // may not have been made; the schedule then does less, losing nothing.
    if (kind == Fault::kOnce) {
      EXPECT_EQ(WithoutStaging(after), p.complete)
          << "the restart schedule does not complete the patch";
    }
  } else if (rc == kOk) {
    EXPECT_EQ(WithoutStaging(after), p.complete) << "0 for an incomplete patch";
  } else if (kind == Fault::kOnce) {
    EXPECT_EQ(WithoutStaging(after), p.before) << "result " << rc;
  }
  ExpectNothingLost(p.before, after);

  // The user applies again, the fault gone. After a failure, even one that
  // stopped the rollback half way, that run completes the patch; after a
  // complete patch, or one the restart finished, it finds every file
  // already updated and keeps the backups of the user's files.
  fault.Reset();
  MsgCode again = h.Run();
  after = AllFiles(h.dir);
  EXPECT_EQ(again, kOk) << "the retry after result " << rc;
  EXPECT_EQ(WithoutStaging(after), p.complete) << "after the retry";
  ExpectNothingLost(p.before, after);

  if (testing::Test::HasFailure()) {
    ADD_FAILURE() << "first result " << rc << ", retry " << again;
    ReportFailedCalls(fault);
  }
}

// The number of file operations of a complete run.
int OperationsOfACleanRun() {
  Rig rig;
  EXPECT_TRUE(rig.h.Load(rig.p.Payload()));
  EXPECT_EQ(rig.h.Run(), kOk);
  EXPECT_EQ(AllFiles(rig.h.dir), rig.p.complete);
  return rig.fault.Calls(kFaultAnyFileOp);
}

void Sweep(Fault kind) {
  const int total = OperationsOfACleanRun();
  ASSERT_GT(total, 100);
  int failures = 0, restarts = 0;
  for (int k = 1; k <= total && !testing::Test::HasFailure(); k++) {
    SCOPED_TRACE(testing::Message() << "file operation " << k << " of "
                                    << total << " fails"
                                    << (kind == Fault::kOnce ? "" : ", and every later one"));
    RunWithFault(kind, k, &failures, &restarts);
  }
  RemoveTestRegistryKey();
  // The sweep reached the undo path and the restart schedule.
  EXPECT_GT(failures, total / 4);
  if (kind == Fault::kOnce) {
    EXPECT_GT(restarts, 0);
  }
}

TEST(FaultSweep, EachFileOperationFailingOnce) { Sweep(Fault::kOnce); }

TEST(FaultSweep, EveryFileOperationFailingFromSomePointOn) {
  Sweep(Fault::kFromThenOn);
}

}  // namespace
