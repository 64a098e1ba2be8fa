// The apply run: the only place where the passes are sequenced.
//
//   read target groups --fail--> log, return (nothing exists yet)
//   staging --fail--> log, cleanup, return
//   commit, then registry
//     0       cleanup, return 0
//     7       restart schedule, restart question: 7 or 10 (nothing undone,
//             staged files stay as the sources of the scheduled moves, and
//             the next run makes new staging folders)
//     other   log, rollback, cleanup, return the code (a staging folder
//             the cleanup could not empty is left to the user, and the
//             next run makes its own)
//
// Staging, commit and registry run with the stop flag (first failure ends
// the pass, the cancel flag is honoured at each group); the closing passes
// visit everything and their results are not looked at.
#include "apply/apply_run.h"

#include "apply/passes.h"
#include "fsutil/fsutil.h"
#include "messages/log.h"
#include "messages/messages.h"
#include "payload/entry_pass.h"
#include "payload/target_groups.h"
#include "texts_big5.h"

namespace {

const uint32_t kMbYesNo = 4;  // MB_YESNO

// A staging folder that the cleanup could not empty (the fault that failed
// the run may last) still holds staged files; a later run of this program
// writing into it would find them in its way and fail the same, so it makes
// a staging folder of its own. One that is empty goes.
void ForgetUncleanStagingFolders(Session* s) {
  for (int32_t g = 0; g < kMaxGroups; g++) {
    if (s->staging[g].len == 0 || !FsFolderExists(s->os, s->staging[g].s))
      continue;
    if (!s->os->remove_folder(s->staging[g].s)) StrClear(&s->staging[g]);
  }
}

MsgCode Fail(Session* s, MsgCode rc, bool rollback) {
  LogError(s, rc);
  if (rollback) RunEntryPass(s, RollbackPass, false);
  RunEntryPass(s, CleanupPass, false);
  ForgetUncleanStagingFolders(s);
  return rc;
}

}  // namespace

MsgCode ApplyRun(Session* s) {
  LogMessage(s, kMsgChecking);
  MsgCode rc = ReadTargetGroups(s);
  if (rc != kOk) {
    LogError(s, rc);
    return rc;
  }

  MarksReset(s);
  rc = RunEntryPass(s, StagingPass, true);
  if (rc != kOk) return Fail(s, rc, false);

  s->committed_count = 0;
  rc = RunEntryPass(s, CommitPass, true);
  if (rc == kOk) rc = RunEntryPass(s, RegistryPass, true);

  if (rc == kOk) {
    RunEntryPass(s, CleanupPass, false);
    return kOk;
  }
  if (rc == kMsgInUse) {
    RunEntryPass(s, RestartSchedulePass, false);
    // The staged files now belong to the schedule. A later run of this
    // program makes staging folders of its own, so that its cleanup cannot
    // delete a file the restart is to move into place.
    for (int32_t g = 0; g < kMaxGroups; g++) StrClear(&s->staging[g]);
    if (AskQuestion(s, kMsgRestartPrompt, kTextRestartCaption, kMbYesNo) &&
        s->os->request_restart())
      return kMsgInUse;
    return kMsgRestartDeclined;
  }
  return Fail(s, rc, true);
}
