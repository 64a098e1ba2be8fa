// Replace at restart: when the commit pass meets a file in use, every entry
// it has not committed yet is handed to the system to finish at its next
// start. A patched or new file this run staged and did not move into place
// gets two moves,
// the current file into the backup folder, then the staged file into place;
// a removed file the commit pass did not reach gets the first move only, so
// the patch is complete after the restart.
//
// The NT family keeps delayed moves itself (MoveFileExA with
// MOVEFILE_DELAY_UNTIL_REBOOT). The 9x family reads the "rename" section of
// WININIT.INI at start-up, one "destination=source" line per move, with the
// source in its short (8.3) form; relative paths are made absolute against
// the current folder, since WININIT runs before any current folder exists.
#include "apply/passes.h"
#include "fsutil/fsutil.h"

namespace {

enum { kPathBuffer = 501 };  // GetCurrentDirectoryA, GetShortPathNameA

// A leading '/' roots a path as '\\' does; the paths of this system take
// either separator.
bool IsAbsolute(const Str* p) {
  return (p->len > 0 && (p->s[0] == '\\' || p->s[0] == '/')) ||
         (p->len > 1 && p->s[1] == ':');
}

// The short form of a path; the path itself (long names) when the system
// finds none, as for a file that does not exist yet.
void ShortForm(const Platform* os, const Str* path, Str* out) {
  char buf[kPathBuffer];
  int32_t n = os->short_path(path->s, buf, kPathBuffer);
  if (n > 0 && n < kPathBuffer) {
    StrSet(out, buf, n);
  } else {
    StrCopy(out, path);
  }
}

// Current folder + '\' + rel. Without a current folder the path stays
// relative; there is nothing better to write.
void MakeAbsolute(const Platform* os, const Str* rel, bool short_prefix,
                  Str* out) {
  char buf[kPathBuffer];
  int32_t n = os->current_folder(buf, kPathBuffer);
  if (n <= 0 || n >= kPathBuffer) {
    StrCopy(out, rel);
    return;
  }
  Str cur;
  StrSet(&cur, buf, n);
  if (short_prefix) {
    Str short_cur;
    ShortForm(os, &cur, &short_cur);
    StrJoin2(out, &short_cur, rel);
  } else {
    StrJoin2(out, &cur, rel);
  }
}

bool Is9xFamily(const Platform* os) {
  return (os->version() & 0x80000000u) != 0;
}

}  // namespace

void ScheduleMoveAtRestart(Session* s, const Str* from, const Str* to) {
  const Platform* os = s->os;
  if (!Is9xFamily(os)) {
    os->move_at_restart(from->s, to->s);
    return;
  }
  Str abs_from, short_from, dest;
  if (IsAbsolute(from)) {
    StrCopy(&abs_from, from);
  } else {
    MakeAbsolute(os, from, false, &abs_from);
  }
  ShortForm(os, &abs_from, &short_from);
  // Only the current-folder prefix of a relative destination is shortened;
  // an absolute destination keeps its long names.
  if (IsAbsolute(to)) {
    StrCopy(&dest, to);
  } else {
    MakeAbsolute(os, to, true, &dest);
  }
  if (short_from.overflow || dest.overflow) return;
  os->write_profile_string("rename", dest.s, short_from.s, "WININIT.INI");
}

namespace {

bool NameIsFile(const Platform* os, const char* path) {
  uint32_t a = os->get_attributes(path);
  return a != kInvalidAttributes && !(a & kAttrDirectory);
}

// Schedules target -> backup. A backup left by an earlier run would make
// that move fail at start-up, and with it the move of the staged file after
// it, so when there is a target file to take its place it gives way now, as
// it does in the commit pass; a backup this run made stays, and with it the
// entry stays as it is after the restart. The target file is found by its
// name: the file in use may be one that cannot be opened to test it.
void ScheduleMoveAside(Session* s, const Str* target, const Str* backup) {
  const Platform* os = s->os;
  if (NameIsFile(os, target->s) && FsFileExists(os, backup->s) &&
      !RunBackupsHold(s, backup->s))
    FsForceDelete(os, backup->s);
  ScheduleMoveAtRestart(s, target, backup);
  FsCreateParentFolders(os, backup->s);
}

}  // namespace

MsgCode RestartSchedulePass(Session* s, int32_t group, uint8_t kind) {
  const Platform* os = s->os;
  Str staged, target, backup;
  if (!TargetFilePath(s, &target) || !BackupFilePath(s, &backup)) return kOk;
  if (kind == kEntryPatched || kind == kEntryNew) {
    // Staged by this run and not yet moved into place by the commit pass.
    uint8_t marks = CurrentMarks(s);
    if (!(marks & kMarkStaged) || (marks & kMarkMovedIn)) return kOk;
    if (!StagedFilePath(s, group, &staged)) return kOk;
    ScheduleMoveAside(s, &target, &backup);
    // The commit pass makes the subfolders an entry name holds; for the
    // entries it did not reach they must exist before the restart, or the
    // move of a new file into a new subfolder has nowhere to go.
    FsCreateParentFolders(os, target.s);
    ScheduleMoveAtRestart(s, &staged, &target);
  } else if (kind == kEntryRemoved) {
    if (CurrentMarks(s) & kMarkCommitted) return kOk;
    if (!NameIsFile(os, target.s)) return kOk;  // already gone
    ScheduleMoveAside(s, &target, &backup);
  }
  return kOk;
}
