// selfpatch check PATCH [FOLDER] [--registry FILE.reg]
//
// A dry run: for every entry of the patch, what the apply run would find in
// FOLDER and what it would do, without changing anything. It walks the
// payload itself instead of through the entry-pass runner, because the
// runner makes a staging folder in every target folder it visits; the only
// file operations here are opens for reading.
//
// For a patched file it reports "already updated", the source whose old
// version is present (in the folder, or after a mismatch there in the
// backup folder) and how many rebuild steps follow, or that no source
// matches and what that means for an optional, quiet or required file. For
// registry entries it looks the check value up in the registry (empty
// unless --registry loads a REGEDIT4 file, which is only read).
//
// The exit status is 0 when the run would get through the staging and
// registry checks, otherwise the message code the run would stop with
// (2 for usage errors).
#include "cli/cmd_check.h"

#include <stdio.h>

#include <string>

#include "cli/commands.h"
#include "cli/patch_session.h"
#include "container/payload_stream.h"
#include "delta/crc32.h"
#include "fsutil/fsutil.h"
#include "payload/entry_pass.h"
#include "payload/target_groups.h"

namespace {

std::string Text(const Str& s) {
  return Cp950ToUtf8(std::string(s.s, (size_t)s.len));
}

std::string JoinPath(const Str& a, const Str& b) {
  Str out;
  StrJoin2(&out, &a, &b);
  return std::string(out.s, (size_t)out.len);
}

std::string JoinPath3(const Str& a, const Str& b, const Str& c) {
  Str out;
  StrJoin3(&out, &a, &b, &c);
  return std::string(out.s, (size_t)out.len);
}

// Opens for reading and compares size, then checksum, as the staging pass
// does. *present tells whether the file could be opened at all.
bool Matches(const Platform* os, const std::string& path, uint32_t size,
             uint32_t checksum, uint32_t hole_offset, uint32_t hole_length,
             bool* present) {
  PlatformFile f = FsOpenForReading(os, path.c_str());
  *present = f != 0;
  if (!f) return false;
  bool same = os->file_size(f) == size &&
              CrcFileWithHole(os, f, hole_offset, hole_length) == checksum;
  os->close(f);
  return same;
}

bool NameIsFile(const Platform* os, const std::string& path) {
  uint32_t a = os->get_attributes(path.c_str());
  return a != kInvalidAttributes && !(a & kAttrDirectory);
}

struct Checker {
  Session* s;
  FILE* out;
  // The first code each stage would stop with: the registry pass runs only
  // after every file has been staged and committed.
  MsgCode staging = kOk;
  MsgCode registry = kOk;
  int entries = 0;

  void Predict(MsgCode rc) {
    if (staging == kOk) staging = rc;
  }
  void PredictRegistry(MsgCode rc) {
    if (registry == kOk) registry = rc;
  }
  MsgCode Predicted() const { return staging != kOk ? staging : registry; }

  // What the commit pass would do with the current file at the target.
  std::string MoveAsideNote() {
    const Platform* os = s->os;
    std::string target = JoinPath(s->target_folder, s->entry.name);
    std::string backup =
        JoinPath3(s->target_folder, s->backup_name, s->entry.name);
    if (!FsFileExists(os, target.c_str())) {
      if (NameIsFile(os, target.c_str()))
        return "; the present file cannot be read, so it cannot be moved "
               "aside and the commit would fail (37)";
      return "";
    }
    std::string note = "; the present file goes to the backup folder";
    if (FsFileExists(os, backup.c_str()))
      note += ", replacing the backup kept there";
    return note;
  }

  void Patched() {
    const Platform* os = s->os;
    const CurrentEntry* e = &s->entry;
    std::string target = JoinPath(s->target_folder, e->name);
    fprintf(out, "  patched   %s: ", Text(e->name).c_str());
    bool present = false;
    if (Matches(os, target, e->new_size, e->new_checksum, e->hole_offset,
                e->hole_length, &present)) {
      fprintf(out, "already updated; nothing to do\n");
      return;
    }
    int32_t count = e->source_count;
    for (int32_t k = 0; k < count && k < kMaxSources; k++) {
      const SourceSlot* src = &e->source[k];
      std::string in_folder = JoinPath(s->target_folder, src->name);
      std::string where;
      if (Matches(os, in_folder, src->record.old_size, src->record.old_checksum,
                  src->hole_offset, src->hole_length, &present)) {
        where = "in the folder";
      } else if (present) {
        std::string backup =
            JoinPath3(s->target_folder, s->backup_name, src->name);
        if (Matches(os, backup, src->record.old_size, src->record.old_checksum,
                    src->hole_offset, src->hole_length, &present))
          where = "in the backup folder";
      }
      if (where.empty()) continue;
      int32_t steps = count - k;
      fprintf(out,
              "source %d of %d (%s) matches %s; would rebuild in %d step%s%s\n",
              (int)k + 1, (int)count, Text(src->name).c_str(), where.c_str(),
              (int)steps, steps == 1 ? "" : "s", MoveAsideNote().c_str());
      return;
    }
    if (!e->optional) {
      fprintf(out, "no matching source; the run would fail (33)\n");
      Predict(kMsgRequiredMissing);
    } else if (e->flags & kEntryQuiet) {
      fprintf(out, "no matching source; optional and quiet: skipped\n");
    } else {
      fprintf(out, "no matching source; optional: skipped with a warning\n");
    }
  }

  void NewFile() {
    fprintf(out, "  new       %s: would create it (%u bytes)%s\n",
            Text(s->entry.name).c_str(), (unsigned)s->entry.data_length,
            MoveAsideNote().c_str());
  }

  void Removed() {
    std::string target = JoinPath(s->target_folder, s->entry.name);
    fprintf(out, "  removed   %s: ", Text(s->entry.name).c_str());
    std::string backup =
        JoinPath3(s->target_folder, s->backup_name, s->entry.name);
    if (NameIsFile(s->os, target))
      fprintf(out, "would move it to the backup folder%s\n",
              FsFileExists(s->os, backup.c_str())
                  ? ", replacing the backup kept there"
                  : "");
    else
      fprintf(out, "already gone; nothing to do\n");
  }

  // Reads the script as the registry pass does and looks at the registry
  // without writing.
  void Registry() {
    const Platform* os = s->os;
    fprintf(out, "  registry  ");
    PayloadSeek(s, s->entry.data_pos);
    uint8_t b[4];
    Str subkey, name;
    uint8_t skip[5];
    if (!PayloadRead(s, b, 4) || !PayloadReadString(s, &subkey) ||
        !PayloadReadString(s, &name) || !PayloadRead(s, skip, 5)) {
      fprintf(out, "script cannot be read; the run would fail (1)\n");
      PredictRegistry(kMsgBroken);
      return;
    }
    RegKey root = LoadLe32(b);
    fprintf(out, "check %s \"%s\": ", Text(subkey).c_str(), Text(name).c_str());
    RegKey key = 0;
    bool found = false;
    if (os->reg_open(root, subkey.s, kKeyRead, &key)) {
      uint8_t value[1001];
      value[0] = 0;
      uint32_t type = 0, size = sizeof value;
      found = os->reg_query(key, name.s, &type, value, &size) && size > 0 &&
              value[0] != 0;
      os->reg_close(key);
    }
    // The operations: count the values and find keys that are missing. Until
    // an open-key operation the current key is the check key, which the
    // registry pass opens for reading only: a value set there fails.
    int values = 0;
    bool broken = false, missing_key = false, too_long = false;
    bool opened = false, read_only_write = false;
    uint32_t end = s->entry.data_pos + s->entry.data_length;
    for (;;) {
      uint8_t op = 0;
      if (!PayloadRead(s, &op, 1) || PayloadTell(s) > end) {
        broken = true;
        break;
      }
      if (op == 0) break;
      if (op == 1) {
        Str sub;
        if (!PayloadRead(s, b, 4) || !PayloadReadString(s, &sub)) {
          broken = true;
          break;
        }
        RegKey k = 0;
        if (os->reg_open(LoadLe32(b), sub.s, kKeyRead, &k))
          os->reg_close(k);
        else if (!read_only_write)
          missing_key = true;
        opened = true;
      } else if (op == 2) {
        Str vn;
        uint8_t tl[8];
        if (!PayloadReadString(s, &vn) || !PayloadRead(s, tl, 8)) {
          broken = true;
          break;
        }
        uint32_t len = LoadLe32(tl + 4);
        if (len > 1001) too_long = true;
        if (PayloadTell(s) + (uint64_t)len > end) {
          broken = true;
          break;
        }
        PayloadSeek(s, PayloadTell(s) + len);
        values++;
        if (!opened && !missing_key) read_only_write = true;
      }
    }
    if (broken || too_long) {
      fprintf(out, "script damaged; the run would fail (1)\n");
      PredictRegistry(kMsgBroken);
    } else if (!found) {
      fprintf(out, "missing or empty; the run would fail (40)\n");
      PredictRegistry(kMsgRegistryFolder);
    } else if (missing_key) {
      fprintf(out,
              "present, but a key to write is missing; the run would fail "
              "(41)\n");
      PredictRegistry(kMsgRegistryAccess);
    } else if (read_only_write) {
      fprintf(out,
              "present, but a value would be set in the check key, which is "
              "open for reading only; the run would fail (41)\n");
      PredictRegistry(kMsgRegistryAccess);
    } else {
      fprintf(out, "present; would set %d value%s\n", values,
              values == 1 ? "" : "s");
    }
  }

  void Walk() {
    for (int32_t g = 0; g <= s->groups.last && g < kMaxGroups; g++) {
      PayloadSeek(s, s->groups.body_pos[g]);
      StrCopy(&s->target_folder, &s->groups.folder[g]);
      if (!PayloadReadString(s, &s->backup_name) ||
          !PayloadNameStaysInside(s->backup_name.s, s->backup_name.len)) {
        fprintf(out,
                "group %d: backup folder name damaged; the run would fail "
                "(1)\n",
                (int)g);
        Predict(kMsgBroken);
        return;
      }
      fprintf(out, "group %d: folder %s, backup folder %s\n", (int)g,
              Text(s->target_folder).c_str(), Text(s->backup_name).c_str());
      for (;;) {
        uint8_t kind = 0;
        if (!ReadNextEntryHeader(s, &kind)) {
          fprintf(out,
                  "  entry header damaged or refused; the run would fail "
                  "(37)\n");
          Predict(kMsgStructure);
          return;
        }
        if (kind == kEntryEnd) break;
        entries++;
        switch (kind) {
          case kEntryPatched:
            Patched();
            break;
          case kEntryNew:
            NewFile();
            break;
          case kEntryRemoved:
            Removed();
            break;
          case kEntryRegistry:
            Registry();
            break;
          default:
            break;
        }
        PayloadSeek(s, s->entry.end_pos);
      }
    }
  }
};

}  // namespace

int CheckMain(int argc, char** argv, FILE* out, FILE* err) {
  PatchArgs o;
  int status;
  if (!ReadPatchArgs("selfpatch check", false, argc, argv, &o, err, &status))
    return status;
  PatchSession ps;
  MsgCode rc = ps.Open("selfpatch check", o.patch, o.folder, err);
  if (rc != kOk) return rc;
  Session* s = ps.s();
  rc = ReadTargetGroups(s);
  if (rc != kOk) {
    fprintf(out, "target groups: %s\n", MessageUtf8(s, rc).c_str());
    return rc;
  }
  Checker c;
  c.s = s;
  c.out = out;
  c.Walk();
  MsgCode predicted = c.Predicted();
  if (predicted == kOk)
    fprintf(out, "result: the run would apply the patch (%d entr%s)\n",
            c.entries, c.entries == 1 ? "y" : "ies");
  else
    fprintf(out, "result: the run would fail with code %d: %s\n",
            (int)predicted, MessageUtf8(s, predicted).c_str());
  fflush(out);
  return predicted;
}

int CmdCheck(int argc, char** argv) {
  return CheckMain(argc, argv, stdout, stderr);
}
