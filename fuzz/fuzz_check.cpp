// `selfpatch check` over an untrusted payload: the target groups, then the
// command's own read-only walk over every entry, against the scratch tree's
// four target folders and the starting registry, loaded from a .reg file
// as a user would give it.
//
// The input is the payload after the texts, put into a stored container.
//
// Checks beyond the sanitizers:
//   - the status is 0 or a message code, and the report's last line
//     names it;
//   - the report is UTF-8 without NUL;
//   - a dry run changes nothing: every file and folder of the scratch tree
//     stays as it was, byte for byte, and so does the registry;
//   - each registry entry, run by the registry pass on its own against the
//     starting registry, ends with the code the report predicted for it;
//   - no file handle stays open, no registry key stays open, and no
//     temporary file is left behind.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "apply/passes.h"
#include "cli/cmd_check.h"
#include "cli/reg_file.h"
#include "fuzz/fuzz_cli.h"
#include "fuzz/fuzz_support.h"
#include "container/payload_stream.h"
#include "messages/codes.h"
#include "payload/entry_pass.h"
#include "payload/target_groups.h"
#include "platform/posix_registry.h"

namespace {

using fuzz_cli::Outcome;

// Every file with its bytes and every folder ("<name>/"), below the root.
void Tree(const std::string& base, const std::string& rel,
          std::map<std::string, std::string>* out) {
  std::string here = rel.empty() ? base : base + "/" + rel;
  DIR* d = opendir(here.c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string r = rel.empty() ? e->d_name : rel + "/" + e->d_name;
    struct stat st;
    if (lstat((base + "/" + r).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (*out)[r + "/"] = "";
      Tree(base, r, out);
    } else {
      (*out)[r] = std::to_string(st.st_size) + ":" + std::to_string(st.st_mode);
    }
  }
  closedir(d);
}

std::map<std::string, std::string> World() {
  std::map<std::string, std::string> all;
  Tree(FuzzRoot(), "", &all);
  all.erase("tmp/patch.exe");  // the input
  for (const char* f : {"app", "win", "sys", "reg"})
    for (const auto& kv : FuzzFilesBelow(FuzzPath(f)))
      all[std::string(f) + "/" + kv.first] += "=" + kv.second;
  return all;
}

// The checker's own predictions, or what the loader or the target groups
// stopped with: a message code in every case.
bool ExpectedCode(int rc) { return rc >= 0 && rc <= 41; }

// The code the report gives for each registry entry, in payload order, by
// the verdicts only registry lines carry (names may break lines).
std::vector<int> RegistryVerdicts(const std::string& report) {
  static const struct {
    const char* text;
    int code;
  } kVerdicts[] = {
      {"script cannot be read; the run would fail (1)\n", kMsgBroken},
      {"script damaged; the run would fail (1)\n", kMsgBroken},
      {"missing or empty; the run would fail (40)\n", kMsgRegistryFolder},
      {"; the run would fail (41)\n", kMsgRegistryAccess},
      {"present; would set ", kOk},
  };
  std::map<size_t, int> found;
  for (const auto& v : kVerdicts)
    for (size_t at = report.find(v.text); at != std::string::npos;
         at = report.find(v.text, at + 1))
      found[at] = v.code;
  std::vector<int> out;
  for (const auto& kv : found) out.push_back(kv.second);
  return out;
}

// Each registry entry the applier's header reader accepts, run by the
// registry pass on its own against the starting registry: its code must be
// the one the report predicted.
// A name may carry a verdict's words too (the report prints names as they
// are); such a payload is not compared.
void CompareRegistryPass(const std::string& payload, uint32_t table,
                         const std::string& reg_text,
                         const std::vector<int>& verdicts) {
  if (payload.find("would") != std::string::npos) return;
  Session* s = FuzzSession(FuzzGuardedPlatform());
  StrSetZ(&s->chosen_folder, FuzzPath("app").c_str());
  if (!FuzzLoadPayload(s, (const uint8_t*)payload.data(), payload.size(), table))
    FuzzFail("payload", "cannot load");
  size_t next = 0;
  if (ReadTargetGroups(s) == kOk) {
    for (int32_t g = 0; g <= s->groups.last; g++) {
      PayloadSeek(s, s->groups.body_pos[g]);
      StrCopy(&s->target_folder, &s->groups.folder[g]);
      if (!PayloadReadString(s, &s->backup_name) ||
          !PayloadNameStaysInside(s->backup_name.s, s->backup_name.len))
        break;
      uint8_t kind = 0;
      bool stopped = false;
      while (!stopped) {
        if (!ReadNextEntryHeader(s, &kind)) stopped = true;
        if (stopped || kind == kEntryEnd) break;
        if (kind == kEntryRegistry) {
          FUZZ_CHECK(next < verdicts.size(), "a registry entry not reported");
          PosixRegClear();
          ApplyRegText(reg_text, nullptr);
          MsgCode rc = RegistryPass(s, g, kind);
          FUZZ_CHECK((int)rc == verdicts[next],
                     "registry entry " + std::to_string(next + 1) +
                         ": the pass gives " + std::to_string(rc) +
                         ", check predicted " + std::to_string(verdicts[next]));
          next++;
        }
        PayloadSeek(s, s->entry.end_pos);
      }
      if (stopped) break;
    }
    FUZZ_CHECK(next == verdicts.size(),
               "more registry lines than entries");
  }
  SessionClose(s);
  PosixRegClear();
  ApplyRegText(reg_text, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  static std::string patch, reg, app;
  static std::map<std::string, std::string> world;
  static std::string registry, reg_text;
  if (patch.empty()) {
    FuzzResetWorld();
    patch = FuzzPath("tmp/patch.exe");
    reg = FuzzPath("tmp/world.reg");
    app = FuzzPath("app");
    reg_text = RegText();
    fuzz_cli::WriteFileOrFail(reg, reg_text);
    registry = FuzzRegistryDump();
  }
  fuzz_cli::WriteFileOrFail(
      patch, fuzz_cli::StoredPatch("Notice", "", data, size));
  if (world.empty()) world = World();

  const int fds = FuzzOpenDescriptors();
  Outcome r = fuzz_cli::Run(CheckMain, {patch, app, "--registry", reg});
  const int rc = r.status;
  if (getenv("SELFPATCH_FUZZ_VERBOSE"))
    fprintf(stderr, "status %d\n%s%s", rc, r.out.c_str(), r.err.c_str());
  FUZZ_CHECK(ExpectedCode(rc), std::to_string(rc) + "\n" + r.out + r.err);
  size_t bad = 0;
  FUZZ_CHECK(fuzz_cli::ValidUtf8(r.out, &bad),
             "report not UTF-8 at " + std::to_string(bad));
  FUZZ_CHECK(r.err.empty(), r.err);
  if (rc == kOk) {
    FUZZ_CHECK(r.out.find("result: the run would apply the patch") !=
                   std::string::npos,
               r.out);
  } else if (r.out.find("target groups: ") != 0) {
    const std::string tail = "result: the run would fail with code " +
                             std::to_string(rc) + ":";
    FUZZ_CHECK(r.out.find(tail) != std::string::npos, r.out);
  }
  if (r.out.find("target groups: ") != 0)
    CompareRegistryPass("Notice" + std::string((const char*)data, size), 6,
                        reg_text, RegistryVerdicts(r.out));
  FUZZ_CHECK(FuzzOpenDescriptors() == fds, "a file handle was left open");
  FUZZ_CHECK(PosixRegOpenHandles() == 0, "a registry key was left open");
  FUZZ_CHECK(FuzzRegistryDump() == registry, "the registry changed");
  const std::map<std::string, std::string> now = World();
  if (now != world) {
    std::string diff;
    for (const auto& kv : now)
      if (!world.count(kv.first) || world.at(kv.first) != kv.second)
        diff += "changed or new: " + kv.first + "\n";
    for (const auto& kv : world)
      if (!now.count(kv.first)) diff += "gone: " + kv.first + "\n";
    FuzzFail("the dry run changed the scratch tree", diff);
  }
  return 0;
}
