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

#include "cli/cmd_check.h"
#include "cli/reg_file.h"
#include "fuzz/fuzz_cli.h"
#include "fuzz/fuzz_support.h"
#include "messages/codes.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  static std::string patch, reg, app;
  static std::map<std::string, std::string> world;
  static std::string registry;
  if (patch.empty()) {
    FuzzResetWorld();
    patch = FuzzPath("tmp/patch.exe");
    reg = FuzzPath("tmp/world.reg");
    app = FuzzPath("app");
    fuzz_cli::WriteFileOrFail(reg, RegText());
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
