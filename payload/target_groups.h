// The target-group table and the resolution of each group's folder.
#ifndef SELFPATCH_PAYLOAD_TARGET_GROUPS_H
#define SELFPATCH_PAYLOAD_TARGET_GROUPS_H

#include "core/session.h"

// Rebuilds s->groups from the group-table position. Returns 0, 1 or 40.
MsgCode ReadTargetGroups(Session* s);

// A path naming an existing file gives its folder (with the trailing '\',
// or "." without one); anything else is returned unchanged.
void NormaliseTargetFolder(Session* s, const Str* path, Str* out);

#endif
