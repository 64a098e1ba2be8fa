// Commit pass: the one pass that changes the target folders.
//
// For a patched or new file the current file goes into the backup folder
// first, then the staged file moves into its place; a removed file only goes
// into the backup folder. Every move is a rename inside the target folder's
// tree, so nothing is copied. A target file that cannot be moved aside (in
// use) ends the pass with 7 and the run hands the rest to the restart
// schedule.
//
// The committed-entry count grows between the two moves of an entry, so an
// entry whose second move fails is still rolled back. Each committed entry
// is also marked (passes.h) with what this run moved, which is what the
// rollback pass undoes. Which entries have a staged file comes from the
// staging pass's marks rather than from a look into the staging folder.
#include "apply/passes.h"
#include "fsutil/fsutil.h"

namespace {

bool NameIsFile(const Platform* os, const char* path) {
  uint32_t a = os->get_attributes(path);
  return a != kInvalidAttributes && !(a & kAttrDirectory);
}

// Moves the target file into the backup folder. *moved tells whether a file
// was moved (a missing target file is not an error). by_name: the file is
// there when its name is, rather than when it opens for reading.
MsgCode MoveAside(Session* s, const Str* target, bool by_name, bool* moved) {
  const Platform* os = s->os;
  *moved = false;
  bool present =
      by_name ? NameIsFile(os, target->s) : FsFileExists(os, target->s);
  if (!present) return kOk;
  Str backup;
  if (!BackupFilePath(s, &backup)) return kMsgStructure;
  FsCreateParentFolders(os, backup.s);
  // A backup left by an earlier run gives way to the current file; one this
  // run made holds the user's original, and the run fails rather than lose
  // it (the rollback puts everything back).
  if (FsFileExists(os, backup.s) &&
      (RunBackupsHold(s, backup.s) || !FsForceDelete(os, backup.s)))
    return kMsgReplaceFailed;
  if (!RunBackupsReserve(s)) return kMsgDiskFull;
  if (!FsMoveFile(os, target->s, backup.s)) return kMsgInUse;
  *moved = true;
  RunBackupsRemember(s, backup.s);
  return kOk;
}

MsgCode CommitFile(Session* s, int32_t group, uint32_t stamp) {
  const Platform* os = s->os;
  Str staged, target;
  if (!StagedFilePath(s, group, &staged) || !TargetFilePath(s, &target))
    return kMsgStructure;
  FsCreateParentFolders(os, target.s);
  // Only what this run staged is committed: a staged file that has gone
  // missing is a failure, not an entry to pass over, and a file left in
  // the staging folder by an earlier run is never taken for this run's.
  if (CurrentMarks(s) & kMarkStaged) {
    if (!FsFileExists(os, staged.s)) return kMsgStructure;
    bool moved = false;
    RETURN_IF_ERR(MoveAside(s, &target, false, &moved));
    s->committed_count++;
    MarkCurrent(s, (uint8_t)(kMarkCommitted | (moved ? kMarkMovedAside : 0)));
    if (!FsMoveFile(os, staged.s, target.s)) return kMsgStructure;
    MarkCurrent(s, kMarkMovedIn);
  }
  if (stamp != 0) {
    PlatformFile f = FsOpenForUpdate(os, target.s);
    if (f) {
      os->set_file_stamp(f, stamp);
      os->close(f);
    }
  }
  FsRemoveEmptyParentFolders(os, staged.s);
  return kOk;
}

MsgCode CommitRemoved(Session* s) {
  Str target;
  if (!TargetFilePath(s, &target)) return kMsgStructure;
  if (!MarksReserve(s)) return kMsgDiskFull;
  // A file that another process holds open for writing cannot be opened to
  // test it; taken for absent, it would stay while the run reports success.
  // Found by its name, it is moved aside, or reported in use (7) and left
  // to the restart schedule.
  bool moved = false;
  RETURN_IF_ERR(MoveAside(s, &target, true, &moved));
  s->committed_count++;
  MarkCurrent(s, (uint8_t)(kMarkCommitted | (moved ? kMarkMovedAside : 0)));
  return kOk;
}

}  // namespace

MsgCode CommitPass(Session* s, int32_t group, uint8_t kind) {
  switch (kind) {
    case kEntryPatched:
      return CommitFile(s, group, s->entry.new_stamp);
    case kEntryNew:
      return CommitFile(s, group, s->entry.new_file_stamp);
    case kEntryRemoved:
      return CommitRemoved(s);
    default:
      return kOk;
  }
}
