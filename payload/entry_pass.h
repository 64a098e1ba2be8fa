// File-entry headers, staging folders and the entry-pass runner.
#ifndef SELFPATCH_PAYLOAD_ENTRY_PASS_H
#define SELFPATCH_PAYLOAD_ENTRY_PASS_H

#include <stdint.h>

#include "core/session.h"

// A pass operation acts on s->entry within group `group`; 0 goes on.
typedef MsgCode (*PassOperation)(Session* s, int32_t group, uint8_t kind);

// Reads one entry header at the payload cursor into s->entry and leaves the
// cursor at the next entry (s->entry.end_pos). False on a failed read, an
// unknown kind, or a header that is refused (see the implementation).
bool ReadNextEntryHeader(Session* s, uint8_t* kind);

// Creates target + "\PATCH<n>.TMP" for the first free n into staging slot
// `slot`. Returns 0 or 11.
MsgCode CreateStagingFolder(Session* s, const Str* target, int32_t slot);

// Walks every group and entry in payload order, calling op for every entry
// of kind 1, 2, 3 or 5. With stop set, honours the cancel flag at each group
// start (13) and ends at the first failure; without it, visits everything
// and returns the first failure.
MsgCode RunEntryPass(Session* s, PassOperation op, bool stop);

#endif
