// Read primitives over the payload stream (one temporary file, one cursor).
#ifndef SELFPATCH_CONTAINER_PAYLOAD_STREAM_H
#define SELFPATCH_CONTAINER_PAYLOAD_STREAM_H

#include <stdint.h>

#include "core/session.h"

// Reads n bytes at the cursor. A read that delivers fewer than n bytes counts
// as failed, so a truncated payload never hands stale buffer bytes on.
bool PayloadRead(Session* s, void* dst, int32_t n);

// One length byte L, then L bytes; the value ends at the first NUL among
// them. Returns false when either read fails.
bool PayloadReadString(Session* s, Str* dst);

uint32_t PayloadTell(Session* s);
void PayloadSeek(Session* s, uint32_t pos);

#endif
