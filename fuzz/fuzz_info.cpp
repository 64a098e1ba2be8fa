// `selfpatch info` over an untrusted patch file: the container facts, the
// texts, the tool's own walk over groups, entries, sources and registry
// scripts, and both the text and the JSON report.
//
// The first input byte chooses the form of the rest: even, a payload after
// the texts, put into a stored container with two fixed texts (so the
// fuzzer works on the walk); odd, a whole patch file as it comes.
//
// Checks beyond the sanitizers:
//   - both runs end with the same status, 0 or one of the loader's codes;
//   - a failed load prints nothing to the report stream and one line to the
//     error stream;
//   - the text report is UTF-8 without NUL, and the JSON report is one
//     well-formed JSON object in UTF-8;
//   - the walk agrees with the applier: every group and entry the
//     applier's own readers accept is listed, at the same position, with
//     the same fields;
//   - the walk agrees with itself: groups and entries in payload order,
//     every listed entry of a known kind inside the payload, the totals at
//     least what is listed, a reason whenever the walk stopped early;
//   - no file handle stays open and no temporary file is left behind.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cli/cmd_info.h"
#include "cli/info_payload.h"
#include "fuzz/fuzz_cli.h"
#include "fuzz/fuzz_support.h"
#include "messages/codes.h"
#include "container/payload_stream.h"
#include "payload/entry_pass.h"
#include "payload/payload_state.h"
#include "payload/target_groups.h"

namespace {

using fuzz_cli::Outcome;

const std::string kNotice("Notice\0line two#%hidden", 23);
const std::string kDescription("Description\0second line", 24);

int FilesIn(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) n++;
  closedir(d);
  return n;
}

void CheckWalk(const std::string& payload, uint32_t table) {
  PayloadInfo w = WalkPayload(payload, table);
  size_t patched = 0, added = 0, removed = 0, registry = 0, sources = 0;
  uint32_t last = table;
  bool first = true;
  FUZZ_CHECK(w.groups.size() <= kMaxGroups, std::to_string(w.groups.size()));
  for (const InfoGroup& g : w.groups) {
    FUZZ_CHECK(first ? g.pos == table : g.pos > last, std::to_string(g.pos));
    first = false;
    last = g.pos;
    for (const InfoEntry& e : g.entries) {
      FUZZ_CHECK(e.pos > last && e.pos < payload.size(),
                 "entry at " + std::to_string(e.pos));
      last = e.pos;
      switch (e.kind) {
        case kEntryPatched:
          patched++;
          sources += e.sources.size();
          for (const InfoSource& s : e.sources) {
            uint64_t total = 0;
            for (int i = 0; i < kStreamCount; i++) total += s.record.stream_len[i];
            FUZZ_CHECK(s.data_pos > e.pos && s.data_pos + total <= payload.size(),
                       "streams outside the payload");
          }
          break;
        case kEntryNew:
          added++;
          FUZZ_CHECK(e.pos + (uint64_t)e.data_length < payload.size(),
                     "new-file data outside the payload");
          break;
        case kEntryRemoved:
          removed++;
          break;
        case kEntryRegistry:
          registry++;
          FUZZ_CHECK(e.pos + (uint64_t)e.data_length < payload.size(),
                     "script outside the payload");
          break;
        default:
          FuzzFail("an entry of unknown kind listed", std::to_string(e.kind));
      }
    }
  }
  FUZZ_CHECK(w.patched >= patched && w.added >= added &&
                 w.removed >= removed && w.registry >= registry &&
                 w.sources >= sources,
             "totals below what is listed");
  // The walk stops at a group without the more-groups flag, at the group
  // limit, or with a reason.
  if (w.problem.empty()) {
    FUZZ_CHECK(!w.groups.empty() && !(w.groups.back().flags & 0x02),
               "the walk stopped without a reason");
  }
}

std::string Text(const Str& s) { return std::string(s.s, (size_t)s.len); }

// The applier's own reading of the same payload: every group and entry it
// accepts must be what the walk lists, field for field. Where the applier
// refuses (a group folder it cannot resolve, a name leaving the folder, a
// damaged header) the comparison stops.
void CompareWithApplier(const std::string& payload, uint32_t table,
                        const PayloadInfo& w) {
  // Reading changes nothing, so the world made at the start serves.
  Session* s = FuzzSession(FuzzGuardedPlatform());
  StrSetZ(&s->chosen_folder, FuzzPath("app").c_str());
  if (!FuzzLoadPayload(s, (const uint8_t*)payload.data(), payload.size(), table))
    FuzzFail("payload", "cannot load");
  if (ReadTargetGroups(s) == kOk) {
    for (int32_t g = 0; g <= s->groups.last; g++) {
      // The group table counts the backup folder name with the body, so
      // the applier may know of a group whose record the walk found cut.
      if ((size_t)g >= w.groups.size()) {
        FUZZ_CHECK(!w.problem.empty(),
                   "the applier reads more groups than the walk lists: " +
                       std::to_string(s->groups.last + 1));
        break;
      }
      const InfoGroup& ig = w.groups[(size_t)g];
      const std::string at = "group " + std::to_string(g);
      PayloadSeek(s, s->groups.body_pos[g]);
      Str backup;
      if (!PayloadReadString(s, &backup)) break;
      FUZZ_CHECK(Text(backup) == ig.backup, at + ": backup folder name");
      size_t k = 0;
      bool stopped = false;
      for (;; k++) {
        uint8_t kind = 0;
        uint32_t pos = PayloadTell(s);
        if (!ReadNextEntryHeader(s, &kind)) {
          stopped = true;
          break;
        }
        if (kind == kEntryEnd) break;
        const std::string where = at + ", entry at " + std::to_string(pos);
        FUZZ_CHECK(k < ig.entries.size(), where + ": not listed");
        const InfoEntry& e = ig.entries[k];
        const CurrentEntry& c = s->entry;
        FUZZ_CHECK(e.pos == pos && e.kind == kind, where + ": position or kind");
        if (kind != kEntryRegistry)
          FUZZ_CHECK(e.name == Text(c.name), where + ": name " + e.name +
                                                 " vs " + Text(c.name));
        if (kind == kEntryPatched) {
          FUZZ_CHECK(e.new_checksum == c.new_checksum && e.new_size == c.new_size &&
                         e.stamp == c.new_stamp && e.flags == c.flags &&
                         e.hole_offset == c.hole_offset &&
                         e.hole_length == c.hole_length &&
                         e.sources.size() == c.source_count,
                     where + ": patched-file header");
          for (size_t i = 0; i < e.sources.size(); i++) {
            const InfoSource& is = e.sources[i];
            const SourceSlot& cs = c.source[i];
            // An empty source name stands for the entry name.
            const std::string name = is.name.empty() ? e.name : is.name;
            FUZZ_CHECK(name == Text(cs.name) &&
                           memcmp(&is.record, &cs.record, sizeof is.record) == 0 &&
                           is.hole_offset == cs.hole_offset &&
                           is.hole_length == cs.hole_length &&
                           is.data_pos == cs.data_pos,
                       where + ": source " + std::to_string(i + 1) + " \"" +
                           is.name + "\" vs \"" + Text(cs.name) + "\", data at " +
                           std::to_string(is.data_pos) + " vs " +
                           std::to_string(cs.data_pos) + ", hole " +
                           std::to_string(is.hole_offset) + "+" +
                           std::to_string(is.hole_length) + " vs " +
                           std::to_string(cs.hole_offset) + "+" +
                           std::to_string(cs.hole_length));
          }
        } else if (kind == kEntryNew) {
          FUZZ_CHECK(e.data_length == c.data_length && e.stamp == c.new_file_stamp,
                     where + ": new-file header");
        } else if (kind == kEntryRegistry) {
          FUZZ_CHECK(e.data_length == c.data_length, where + ": script length");
        }
      }
      // A group the applier read to its end is listed to its end.
      if (!stopped)
        FUZZ_CHECK(k == ig.entries.size(), at + ": the walk lists " +
                                               std::to_string(ig.entries.size()) +
                                               " entries, the applier reads " +
                                               std::to_string(k));
      else
        break;
    }
  }
  SessionClose(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1 << 20)) return 0;
  static std::string path;
  if (path.empty()) {
    FuzzResetWorld();
    path = FuzzPath("tmp/patch.exe");
  }
  const bool whole = data[0] & 1;
  std::string file =
      whole ? std::string((const char*)data + 1, size - 1)
            : fuzz_cli::StoredPatch(kNotice, kDescription, data + 1, size - 1);
  fuzz_cli::WriteFileOrFail(path, file);

  const int fds = FuzzOpenDescriptors();
  Outcome text = fuzz_cli::Run(InfoMain, {path});
  Outcome json = fuzz_cli::Run(InfoMain, {path, "--json"});
  FUZZ_CHECK(text.status == json.status, std::to_string(text.status) + " vs " +
                                             std::to_string(json.status));
  const int rc = text.status;
  if (getenv("SELFPATCH_FUZZ_VERBOSE"))
    fprintf(stderr, "status %d\n%s%s%s", rc, text.out.c_str(),
            json.out.c_str(), text.err.c_str());
  FUZZ_CHECK(rc == kOk || rc == kMsgBroken || rc == kMsgNoPatch ||
                 rc == kMsgCannotOpenSelf || rc == kMsgNotAPatch ||
                 rc == kMsgTempFull,
             std::to_string(rc));
  size_t bad = 0;
  if (rc != kOk) {
    FUZZ_CHECK(text.out.empty() && json.out.empty(), "a report after a failure");
    FUZZ_CHECK(!text.err.empty() && text.err.find('\n') == text.err.size() - 1,
               text.err);
  } else {
    FUZZ_CHECK(text.err.empty() && json.err.empty(), text.err + json.err);
    FUZZ_CHECK(fuzz_cli::ValidUtf8(text.out, &bad),
               "text report not UTF-8 at " + std::to_string(bad));
    FUZZ_CHECK(fuzz_cli::ValidUtf8(json.out, &bad),
               "JSON report not UTF-8 at " + std::to_string(bad));
    FUZZ_CHECK(fuzz_cli::ValidJson(json.out, &bad),
               "JSON report malformed at " + std::to_string(bad) + ": " +
                   json.out.substr(bad > 40 ? bad - 40 : 0, 80));
    FUZZ_CHECK(text.out.find("totals: ") != std::string::npos, "no totals");
  }
  // The walk alone, over the payload as the stored form holds it.
  if (!whole) {
    std::string payload = kNotice + kDescription;
    payload.append((const char*)data + 1, size - 1);
    const uint32_t table = (uint32_t)(kNotice.size() + kDescription.size());
    CheckWalk(payload, table);
    CompareWithApplier(payload, table, WalkPayload(payload, table));
  }
  FUZZ_CHECK(FuzzOpenDescriptors() == fds, "a file handle was left open");
  FUZZ_CHECK(FilesIn(FuzzPath("tmp")) == 1, "a temporary file was left");
  return 0;
}
