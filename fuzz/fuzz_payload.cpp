// Payload parsing and the whole apply run: target groups, entry headers,
// the runner and every pass, over the POSIX platform in a scratch tree.
//
// The input is the payload after the two texts. Each input starts from the
// same four target folders (fuzz_support.h) and the same registry, and runs
// the apply run as the window would: once, and once more after a failure
// (the user pressing Apply again). The restart question is answered No.
//
// Checks beyond the sanitizers and the guarding table (nothing changed
// outside the target folders):
//   - the result is a message code;
//   - a failed run (anything but 0, 7 and 10) leaves every target folder
//     as it was, byte for byte, apart from staging folders;
//   - whatever the result, no file's bytes are lost: every file present at
//     the start is, after the run (and after the restart schedule is
//     carried out, for 7 and 10), still somewhere in the target folders,
//     in place or in a backup folder;
//   - a successful run leaves no file in its staging folders;
//   - no registry key and no file handle stays open.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "apply/apply_run.h"
#include "payload/entry_pass.h"
#include "payload/target_groups.h"
#include "fuzz/fuzz_support.h"
#include "platform/posix_hooks.h"
#include "platform/posix_registry.h"

namespace {

const char* const kFolders[] = {"app", "win", "sys", "reg"};

typedef std::map<std::string, std::string> Files;

// Every file of the four target folders, "<folder>/<relative name>".
Files World() {
  Files all;
  for (const char* f : kFolders)
    for (const auto& kv : FuzzFilesBelow(FuzzPath(f)))
      all[std::string(f) + "/" + kv.first] = kv.second;
  return all;
}

bool IsStagingName(const std::string& c) {
  if (c.size() < 10 || c.compare(0, 5, "PATCH") != 0 ||
      c.compare(c.size() - 4, 4, ".TMP") != 0)
    return false;
  for (size_t i = 5; i + 4 < c.size(); i++)
    if (c[i] < '0' || c[i] > '9') return false;
  return true;
}

// Staging folders are the run's own; what they hold is not a user's file.
Files WithoutStaging(const Files& files) {
  Files out;
  for (const auto& kv : files) {
    bool staging = false;
    size_t i = 0;
    while (i < kv.first.size()) {
      size_t j = kv.first.find('/', i);
      if (j == std::string::npos) break;  // the last component is the file
      if (IsStagingName(kv.first.substr(i, j - i))) staging = true;
      i = j + 1;
    }
    if (!staging) out.insert(kv);
  }
  return out;
}

std::string Describe(const Files& a, const Files& b) {
  std::string d;
  for (const auto& kv : a) {
    auto it = b.find(kv.first);
    if (it == b.end())
      d += "  gone: " + kv.first + "\n";
    else if (it->second != kv.second)
      d += "  changed: " + kv.first + "\n";
  }
  for (const auto& kv : b)
    if (!a.count(kv.first)) d += "  new: " + kv.first + "\n";
  return d;
}

// Every byte string of `before` is held by at least as many files after.
void ExpectNothingLost(const Files& before, const Files& after,
                       const char* when) {
  std::map<std::string, int> need, have;
  for (const auto& kv : before) need[kv.second]++;
  for (const auto& kv : after) have[kv.second]++;
  for (const auto& kv : need) {
    if (have[kv.first] >= kv.second) continue;
    std::string who;
    for (const auto& f : before)
      if (f.second == kv.first) who += " " + f.first;
    FuzzFail("a file's bytes were lost", std::string(when) + ":" + who +
                                             "\n" + Describe(before, after));
  }
}

// What the system would do at its next start with the delayed moves: each
// in order, passed over when its source is missing or its destination
// exists.
void CarryOutDelayedMoves() {
  for (int32_t i = 0; i < PosixDelayedMoveCount(); i++) {
    const char* from = 0;
    const char* to = 0;
    if (!PosixDelayedMove(i, &from, &to) || !from || !to) continue;
    std::string a = from, b = to;
    for (char& c : a)
      if (c == '\\') c = '/';
    for (char& c : b)
      if (c == '\\') c = '/';
    struct stat st;
    if (lstat(a.c_str(), &st) != 0 || lstat(b.c_str(), &st) == 0) continue;
    rename(a.c_str(), b.c_str());
  }
}

bool Ask(void*, const char*, const char*, uint32_t) { return false; }

void CheckRun(Session* s, MsgCode rc, const Files& before, int run) {
  static const bool verbose = getenv("SELFPATCH_FUZZ_VERBOSE") != nullptr;
  if (verbose) fprintf(stderr, "run %d: result %d\n", run, (int)rc);
  const std::string when = "run " + std::to_string(run) + ", result " +
                           std::to_string(rc);
  FUZZ_CHECK(rc >= kOk && rc <= kMsgLast, when);
  FUZZ_CHECK(PosixRegOpenHandles() == 0, "a registry key was left open");
  Files after = World();
  if (rc == kMsgInUse || rc == kMsgRestartDeclined) {
    CarryOutDelayedMoves();
    PosixClearRecords();
    after = World();
    ExpectNothingLost(before, WithoutStaging(after), when.c_str());
    return;
  }
  ExpectNothingLost(before, WithoutStaging(after), when.c_str());
  if (rc != kOk) {
    Files now = WithoutStaging(after);
    if (now != before)
      FuzzFail("a failed run changed the target folders",
               when + "\n" + Describe(before, now));
    return;
  }
  for (int32_t g = 0; g <= s->groups.last && g < kMaxGroups; g++) {
    if (s->staging[g].len == 0) continue;
    Files left = FuzzFilesBelow(s->staging[g].s);
    FUZZ_CHECK(left.empty(), when + ": left in " + s->staging[g].s + ": " +
                                 left.begin()->first);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  FuzzResetWorld();
  const Files before = World();
  const int fds = FuzzOpenDescriptors();

  Session* s = FuzzSession(FuzzGuardedPlatform());
  s->hooks.ask = Ask;
  std::string chosen = FuzzPath("app");
  StrSetZ(&s->chosen_folder, chosen.c_str());
  if (!FuzzLoadPayload(s, data, size, 0)) FuzzFail("payload", "cannot load");
  // An entry may declare a new file of up to 2 GiB; the disk here is 4 MiB.
  FuzzSetWriteBudget(4 << 20);

  MsgCode rc = ApplyRun(s);
  CheckRun(s, rc, before, 1);
  if (rc != kOk && rc != kMsgInUse && rc != kMsgRestartDeclined) {
    FuzzSetWriteBudget(4 << 20);
    rc = ApplyRun(s);
    CheckRun(s, rc, before, 2);
  }
  SessionClose(s);
  FuzzSetWriteBudget(-1);
  FUZZ_CHECK(FuzzOpenDescriptors() == fds, "a file handle was left open");
  return 0;
}
