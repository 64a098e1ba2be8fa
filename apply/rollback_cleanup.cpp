// Rollback and cleanup: the two passes that close a run. Both visit every
// group (no stop flag), never fail and log nothing; a file operation that
// fails is passed over.
//
// Rollback undoes exactly what this run's commit pass did, entry by entry,
// from the marks it left (passes.h):
// - a file it moved into the backup folder comes back (the new file in its
//   place is deleted first);
// - a new file it moved into a place where no file stood is deleted, so the
//   folder holds what it held before the run;
// - anything else is left alone: entries the commit pass passed over (already
//   updated, optional without a source) keep their files, and a backup left
//   by an earlier run is never taken for this run's.
// The committed-entry count bounds the restores, as the commit pass counted.
#include "apply/passes.h"
#include "fsutil/fsutil.h"

MsgCode RollbackPass(Session* s, int32_t, uint8_t kind) {
  if (kind != kEntryPatched && kind != kEntryNew && kind != kEntryRemoved)
    return kOk;
  if (s->committed_count <= 0) return kOk;
  uint8_t marks = CurrentMarks(s);
  if (!(marks & kMarkCommitted)) return kOk;
  const Platform* os = s->os;
  Str target, backup;
  if (TargetFilePath(s, &target) && BackupFilePath(s, &backup)) {
    if (marks & kMarkMovedAside) {
      if (FsFileExists(os, backup.s)) {
        FsForceDelete(os, target.s);
        FsMoveFile(os, backup.s, target.s);
        FsRemoveEmptyParentFolders(os, backup.s);
      }
    } else if (marks & kMarkMovedIn) {
      FsForceDelete(os, target.s);
    }
  }
  s->committed_count--;
  return kOk;
}

MsgCode CleanupPass(Session* s, int32_t group, uint8_t kind) {
  if (kind != kEntryPatched && kind != kEntryNew) return kOk;
  Str staged;
  if (!StagedFilePath(s, group, &staged)) return kOk;
  FsForceDelete(s->os, staged.s);
  FsRemoveEmptyParentFolders(s->os, staged.s);
  return kOk;
}
