// File-entry headers, staging folders and the entry-pass runner.
//
// Every pass of the apply run goes through RunEntryPass: it walks the groups
// of s->groups in order, reads each entry header into s->entry and hands the
// entry to the pass operation. The entry layout is in payload_state.h.
//
// Set while a pass runs, for the operation and the "%s"/"%m" placeholders:
//   s->target_folder   the group's resolved folder
//   s->backup_name     the group's backup folder name
//   s->staging[g]      the group's staging folder, made on its first walk
//   s->entry           the entry just read; s->entry.name is "%m"
//   s->entry_ordinal   index of the entry within the whole pass, payload
//                      order across all groups, from 0 at each pass
#ifndef SELFPATCH_PAYLOAD_ENTRY_PASS_H
#define SELFPATCH_PAYLOAD_ENTRY_PASS_H

#include <stdint.h>

#include "core/session.h"

// A pass operation acts on s->entry within group `group`; 0 goes on.
typedef MsgCode (*PassOperation)(Session* s, int32_t group, uint8_t kind);

// Reads one entry header at the payload cursor into s->entry and leaves the
// cursor at the next entry (s->entry.end_pos). Data parts (delta streams,
// new-file data, registry scripts) are stepped over, their positions
// recorded. False on a failed read, a kind other than 0, 1, 2, 3 or 5, more
// than 20 sources, a data part reaching past the end of the payload, or a
// name that could leave the target folder (PayloadNameStaysInside).
// *kind receives the kind byte whenever it could be read.
bool ReadNextEntryHeader(Session* s, uint8_t* kind);

// Whether a name read from the payload names something inside the folder
// it is joined to: not empty, no drive ("X:"), no leading '\' or '/', no
// component that leads upwards ("..", or dots and spaces holding two dots,
// which Windows may trim to ".."), and at least one component that is not
// "." (so the name never stands for the folder itself). Both '\' and '/'
// separate; a Big5 trail byte of 0x5C counts as a separator too, which can
// only refuse more, never less.
bool PayloadNameStaysInside(const char* name, int32_t len);

// Creates target + "\PATCH<n>.TMP" for the first n for which no folder
// exists, after creating target and the folders above it. Slot `slot` gets
// the name also when the folder cannot be made. Returns 0 or 11.
MsgCode CreateStagingFolder(Session* s, const Str* target, int32_t slot);

// Walks every group and entry in payload order, calling op for every entry
// of kind 1, 2, 3 or 5. With stop set, honours the cancel flag at each group
// start (13) and ends at the first failure; without it, visits every group
// and returns the first failure. Codes of its own: 1 for a backup folder
// name that cannot be read or is refused, 37 for an entry header that cannot
// be read or is refused, 11 for a staging folder that cannot be made.
// After each operation the cursor is put back where the entry's header
// ended, so an operation that reads less (or more) cannot misplace the next.
MsgCode RunEntryPass(Session* s, PassOperation op, bool stop);

#endif
