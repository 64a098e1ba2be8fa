// A file in use: the restart schedule, the restart question and the
// results 7 and 10; and the two forms of the schedule (delayed moves on the
// NT family, WININIT.INI lines on the 9x family).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "apply/apply_run.h"
#include "apply/passes.h"
#include "support/apply_fixture.h"
#include "support/fault_platform.h"
#include "texts_big5.h"

namespace {

using Files = std::map<std::string, std::string>;
using Moves = std::vector<std::pair<std::string, std::string>>;

const std::string kOld = "the old version of every file here";
const std::string kNew = "the new version, somewhat longer than the old";

const uint32_t kVersion9x = 0xC0000A04u;
const uint32_t kVersionNt = 0x0A280105u;

// a.dll is committed, b.dll is in use, then c.dll, a new file in a new
// subfolder, a removed file and a file already up to date follow.
struct InUse {
  FaultPlatform fault;
  ApplyHarness h{fault.os()};
  Files before;

  InUse() {
    for (const char* f : {"a.dll", "b.dll", "c.dll", "gone.txt"})
      h.dir.Write(std::string("app/") + f, kOld);
    h.dir.Write("app/fine.dll", kNew);
    before = TargetFiles(h.dir);
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    for (const char* f : {"a.dll", "b.dll", "c.dll"})
      b.AddPatched(ChainEntry(f, {kOld, kNew}));
    writer::NewFile nf;
    nf.name = "plug\\in.txt";
    nf.data = "new";
    b.AddNewFile(nf);
    b.AddRemoved("gone.txt");
    b.AddPatched(ChainEntry("fine.dll", {kOld, kNew}));
    EXPECT_TRUE(h.Load(b));
    // b.dll cannot be moved out of the way.
    fault.FailPath(kFaultMoveFile, "app/b.dll");
  }
  std::string P(const std::string& rel) {
    std::string p = h.Target();
    for (char c : rel) p.push_back(c == '/' ? '\\' : c);
    return p;
  }
};

TEST(RestartSchedule, FileInUseSchedulesEverythingNotCommittedAndAsks) {
  InUse t;
  EXPECT_EQ(t.h.Run(), kMsgRestartDeclined);

  // a.dll was committed before b.dll; nothing is undone.
  EXPECT_EQ(t.h.dir.Read("app/a.dll"), kNew);
  EXPECT_EQ(t.h.dir.Read("app/BAK/a.dll"), kOld);
  EXPECT_EQ(t.h.dir.Read("app/b.dll"), kOld);

  std::string st = t.P("/PATCH0.TMP");
  auto S = [&](const std::string& rel) {
    std::string p = st + "\\";
    for (char c : rel) p.push_back(c == '/' ? '\\' : c);
    return p;
  };
  Moves want = {
      {t.P("/b.dll"), t.P("/BAK/b.dll")},
      {S("b.dll"), t.P("/b.dll")},
      {t.P("/c.dll"), t.P("/BAK/c.dll")},
      {S("c.dll"), t.P("/c.dll")},
      {t.P("/plug/in.txt"), t.P("/BAK/plug/in.txt")},
      {S("plug/in.txt"), t.P("/plug/in.txt")},
      // A removed file the commit pass did not reach: one move.
      {t.P("/gone.txt"), t.P("/BAK/gone.txt")},
  };
  EXPECT_EQ(t.h.restart.moves, want);
  EXPECT_TRUE(t.h.restart.profile.empty());

  // The question: the text of code 9 with its caption, Yes and No.
  ASSERT_EQ(t.h.questions.size(), 1u);
  EXPECT_EQ(t.h.questions[0].first, Message(t.h.s(), kMsgRestartPrompt));
  EXPECT_EQ(t.h.questions[0].second, std::string(kTextRestartCaption));
  EXPECT_EQ(t.h.restart.restart_requests, 0);

  // The staged files wait in the staging folder, which stays.
  EXPECT_TRUE(t.h.dir.IsFile("app/PATCH0.TMP/b.dll"));
  EXPECT_TRUE(t.h.dir.IsFile("app/PATCH0.TMP/plug/in.txt"));
  // Folders the moves need exist already.
  EXPECT_TRUE(t.h.dir.IsFolder("app/plug"));
  EXPECT_TRUE(t.h.dir.IsFolder("app/BAK/plug"));

  // Neither code 7 nor 10 is logged.
  std::string log;
  for (const std::string& l : t.h.lines()) log += l;
  EXPECT_EQ(log.find(Message(t.h.s(), kMsgInUse).substr(1, 10)),
            std::string::npos);

  // What the system does at its next start completes the patch.
  CarryOutRestartMoves(t.h.restart);
  Files after = {
      {"a.dll", kNew},        {"b.dll", kNew},     {"c.dll", kNew},
      {"plug/in.txt", "new"}, {"fine.dll", kNew},  {"BAK/a.dll", kOld},
      {"BAK/b.dll", kOld},    {"BAK/c.dll", kOld}, {"BAK/gone.txt", kOld}};
  EXPECT_EQ(TargetFiles(t.h.dir), after);
}

TEST(RestartSchedule, AnswerAndRestartRequestDecideBetween7And10) {
  struct Case {
    bool yes;
    bool accepted;
    MsgCode result;
    int requests;
  };
  for (const Case& c : {Case{true, true, kMsgInUse, 1},
                        Case{true, false, kMsgRestartDeclined, 1},
                        Case{false, true, kMsgRestartDeclined, 0}}) {
    SCOPED_TRACE(testing::Message()
                 << "yes " << c.yes << " accepted " << c.accepted);
    InUse t;
    t.h.answer_yes = c.yes;
    t.h.restart.accept_restart = c.accepted;
    EXPECT_EQ(t.h.Run(), c.result);
    EXPECT_EQ(t.h.restart.restart_requests, c.requests);
  }
}

// A file in use at the very first entry: nothing committed, every entry
// scheduled, the registry pass never runs.
TEST(RestartSchedule, InUseAtTheFirstEntry) {
  FaultPlatform fault;
  ApplyHarness h(fault.os());
  h.dir.Write("app/a.dll", kOld);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kOld, kNew}));
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser, "Software\\none", "x")
                    .SetString("never", "set"));
  ASSERT_TRUE(h.Load(b));
  fault.FailPath(kFaultMoveFile, "app/a.dll");
  EXPECT_EQ(h.Run(), kMsgRestartDeclined);
  EXPECT_EQ(h.s()->committed_count, 0);
  EXPECT_EQ(h.restart.moves.size(), 2u);
  EXPECT_EQ(fault.Calls(kFaultRegOpen), 0);
  EXPECT_EQ(h.dir.Read("app/a.dll"), kOld);
}

// A backup left by an earlier run would make the scheduled move into the
// backup folder fail at the restart, and the move of the new file after it.
TEST(RestartSchedule, BackupFromAnEarlierRunGivesWay) {
  InUse t;
  t.h.dir.Write("app/BAK/b.dll", "from an earlier patch");
  EXPECT_EQ(t.h.Run(), kMsgRestartDeclined);
  CarryOutRestartMoves(t.h.restart);
  EXPECT_EQ(t.h.dir.Read("app/b.dll"), kNew);
  EXPECT_EQ(t.h.dir.Read("app/BAK/b.dll"), kOld);
}

// After a declined restart the user may press Apply again in the same
// program. That run must not use (and clean up) the staged files that the
// schedule is to move into place.
TEST(RestartSchedule, ARunAfterADeclinedRestartLeavesTheScheduleIntact) {
  InUse t;
  ASSERT_EQ(t.h.Run(), kMsgRestartDeclined);
  Moves first = t.h.restart.moves;
  std::string staged_b = t.h.dir.Read("app/PATCH0.TMP/b.dll");
  ASSERT_EQ(staged_b, kNew);
  // Still in use: the second run schedules again, in a staging folder of
  // its own.
  EXPECT_EQ(t.h.Run(), kMsgRestartDeclined);
  EXPECT_EQ(t.h.dir.Read("app/PATCH0.TMP/b.dll"), kNew);
  EXPECT_EQ(t.h.dir.Read("app/PATCH1.TMP/b.dll"), kNew);
  ASSERT_EQ(t.h.restart.moves.size(), 2 * first.size());
  EXPECT_EQ(t.h.restart.moves[first.size() + 1].first,
            t.P("/PATCH1.TMP/b.dll"));
  CarryOutRestartMoves(t.h.restart);
  EXPECT_EQ(t.h.dir.Read("app/b.dll"), kNew);
  EXPECT_EQ(t.h.dir.Read("app/BAK/b.dll"), kOld);
  EXPECT_EQ(t.h.dir.Read("app/plug/in.txt"), "new");
}

// The 9x family: one "rename" line per move in WININIT.INI, destination as
// the key, the short form of the source as the value.
TEST(RestartSchedule, WininitLinesOnThe9xFamily) {
  InUse t;
  t.h.restart.version = kVersion9x;
  std::string st;
  t.h.restart.short_paths_fail = true;
  EXPECT_EQ(t.h.Run(), kMsgRestartDeclined);
  st = t.P("/PATCH0.TMP");
  EXPECT_TRUE(t.h.restart.moves.empty());
  ASSERT_EQ(t.h.restart.profile.size(), 7u);
  for (const auto& l : t.h.restart.profile) {
    EXPECT_EQ(l.section, "rename");
    EXPECT_EQ(l.file, "WININIT.INI");
    // Without a short form the long path stands, never the buffer's bytes.
    EXPECT_EQ(l.value.find('#'), std::string::npos) << l.value;
  }
  EXPECT_EQ(t.h.restart.profile[0].key, t.P("/BAK/b.dll"));
  EXPECT_EQ(t.h.restart.profile[0].value, t.P("/b.dll"));
  EXPECT_EQ(t.h.restart.profile[1].key, t.P("/b.dll"));
  EXPECT_EQ(t.h.restart.profile[1].value, st + "\\b.dll");
  CarryOutRestartMoves(t.h.restart);
  EXPECT_EQ(t.h.dir.Read("app/b.dll"), kNew);
}

// Schedule a move, path by path, on both families.
TEST(RestartSchedule, PathsOfOneMove) {
  struct Case {
    const char* what;
    uint32_t version;
    const char* from;
    const char* to;
    bool short_fails;
    // NT: the delayed move; 9x: key (destination) and value (source).
    const char* want_to;
    const char* want_from;
  };
  const Case cases[] = {
      {"NT keeps paths as built", kVersionNt, "app\\PATCH0.TMP\\F.dll",
       "app\\F.dll", false, "app\\F.dll", "app\\PATCH0.TMP\\F.dll"},
      {"9x absolute: short source, long destination", kVersion9x,
       "C:\\Program Files\\App\\Long Name.dll",
       "C:\\Program Files\\App\\Backup Folder\\Long Name.dll", false,
       "C:\\Program Files\\App\\Backup Folder\\Long Name.dll",
       "C:\\PROGRA~1\\App\\LONGNA~1.DLL"},
      {"9x relative source and destination", kVersion9x, "App\\F.dll",
       "App\\B\\F.dll", false, "C:\\MYDOCU~1\\App\\B\\F.dll",
       "C:\\MYDOCU~1\\App\\F.dll"},
      {"9x root-relative and drive paths count as absolute", kVersion9x,
       "\\App\\F.dll", "D:App\\F.dll", false, "D:App\\F.dll", "\\App\\F.dll"},
      {"9x without short forms: long absolute paths", kVersion9x,
       "App\\New File.dll", "App\\B\\New File.dll", true,
       "C:\\My Documents\\App\\B\\New File.dll",
       "C:\\My Documents\\App\\New File.dll"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ApplyHarness h;
    h.restart.version = c.version;
    h.restart.current_folder = "C:\\My Documents";
    h.restart.short_paths_fail = c.short_fails;
    if (!c.short_fails)
      h.restart.short_names = {
          {"C:\\Program Files\\App\\Long Name.dll",
           "C:\\PROGRA~1\\App\\LONGNA~1.DLL"},
          {"C:\\My Documents\\App\\F.dll", "C:\\MYDOCU~1\\App\\F.dll"},
          {"C:\\My Documents", "C:\\MYDOCU~1"},
          {"\\App\\F.dll", "\\App\\F.dll"},
      };
    Str from, to;
    StrSetZ(&from, c.from);
    StrSetZ(&to, c.to);
    ScheduleMoveAtRestart(h.s(), &from, &to);
    if (c.version == kVersionNt) {
      ASSERT_EQ(h.restart.moves.size(), 1u);
      EXPECT_EQ(h.restart.moves[0].first, c.want_from);
      EXPECT_EQ(h.restart.moves[0].second, c.want_to);
      EXPECT_TRUE(h.restart.profile.empty());
    } else {
      ASSERT_EQ(h.restart.profile.size(), 1u);
      EXPECT_EQ(h.restart.profile[0].key, c.want_to);
      EXPECT_EQ(h.restart.profile[0].value, c.want_from);
      EXPECT_TRUE(h.restart.moves.empty());
    }
  }
}

}  // namespace
