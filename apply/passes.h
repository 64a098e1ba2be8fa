// The pass operations of the apply run and what they share.
//
// Each pass acts on the entry the runner has just read (s->entry) within the
// group it is walking (s->target_folder, s->backup_name, s->staging[group]).
// The apply run hands them to RunEntryPass in this order: staging, commit,
// registry; then either cleanup, or rollback and cleanup, or the restart
// schedule (apply_run.cpp).
//
// Paths of one entry, each part joined by exactly one '\':
//   staged file   staging folder of the group, entry name
//   target file   target folder, entry name
//   backup file   target folder, backup folder name, entry name
//
// Entry marks: the staging and commit passes record, per entry ordinal (the
// runner's s->entry_ordinal, which numbers the entries of a pass in payload
// order across all groups, alike in every pass), what this run did to the
// entry. The commit pass commits exactly the entries staged by this run; the
// rollback pass restores exactly the entries marked committed, and only what
// this run moved; the restart schedule takes the staged entries not yet
// moved in, and the removed files the commit pass never reached. One byte
// per entry holds the bits below; the run forgets them before staging.
#ifndef SELFPATCH_APPLY_PASSES_H
#define SELFPATCH_APPLY_PASSES_H

#include <stdint.h>

#include "core/session.h"

enum : uint8_t {
  kMarkStaged = 0x08,      // this run's staging pass made the staged file
  kMarkCommitted = 0x01,   // counted in s->committed_count
  kMarkMovedAside = 0x02,  // this run moved the target file into the backup
  kMarkMovedIn = 0x04,     // this run moved the staged file into place
};

// --- Pass operations (PassOperation signature) -------------------------------
MsgCode StagingPass(Session* s, int32_t group, uint8_t kind);
MsgCode CommitPass(Session* s, int32_t group, uint8_t kind);
MsgCode RegistryPass(Session* s, int32_t group, uint8_t kind);
MsgCode RestartSchedulePass(Session* s, int32_t group, uint8_t kind);
MsgCode RollbackPass(Session* s, int32_t group, uint8_t kind);
MsgCode CleanupPass(Session* s, int32_t group, uint8_t kind);

// --- Restart schedule
// ---------------------------------------------------------- Registers one move
// for the next start of the system: a delayed move on the NT family, a "rename"
// line of WININIT.INI on the 9x family. Reports nothing.
void ScheduleMoveAtRestart(Session* s, const Str* from, const Str* to);

// --- Entry paths (entry_paths.cpp)
// ----------------------------------------------- False when the group index is
// out of range or the path does not fit.
bool StagedFilePath(const Session* s, int32_t group, Str* out);
bool TargetFilePath(const Session* s, Str* out);
bool BackupFilePath(const Session* s, Str* out);

// --- Entry marks (entry_paths.cpp)
// ---------------------------------------------- Forgets every mark.
void MarksReset(Session* s);
// Makes room for the mark of the current entry; false when memory runs out.
bool MarksReserve(Session* s);
void MarkCurrent(Session* s, uint8_t bits);
uint8_t CurrentMarks(const Session* s);

// --- Backups made by this run (run_backups.cpp) ------------------------------
// Two groups may reach one folder through two spellings (the chosen folder
// and a registry value naming it), and so one file through two entries. A
// file this run moved into a backup folder may be the only copy of the
// user's original; it must never give way as a backup from an earlier run
// does. The passes know such a backup by the identity of the file, not by
// its path. The list is forgotten with the marks.
//
// Room for one more backup; false when memory runs out.
bool RunBackupsReserve(Session* s);
// Notes the file now at path as a backup this run made (after the move).
void RunBackupsRemember(Session* s, const char* path);
// True when the file at path is one this run moved into a backup folder.
bool RunBackupsHold(const Session* s, const char* path);

#endif
