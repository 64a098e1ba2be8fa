// The apply run: the one transaction that applies the whole patch.
#ifndef SELFPATCH_APPLY_APPLY_RUN_H
#define SELFPATCH_APPLY_APPLY_RUN_H

#include "core/session.h"

// Returns 0 (applied), 7 (in use, restart accepted), 10 (in use, restart
// declined or refused) or the logged failure code after rollback and
// cleanup.
MsgCode ApplyRun(Session* s);

#endif
