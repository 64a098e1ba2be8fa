// Read primitives over the payload stream (one temporary file, one cursor).
//
// Every payload record is read through these four calls, one platform read
// per field: no buffering, so the shared cursor is always exactly where the
// last field ended and readers may record it and seek back later.
//
// Payload string: one length byte L (0..255), then L bytes. Its value is
// those bytes up to the first NUL among them; the cursor moves past all L.
#ifndef SELFPATCH_CONTAINER_PAYLOAD_STREAM_H
#define SELFPATCH_CONTAINER_PAYLOAD_STREAM_H

#include <stdint.h>

#include "core/session.h"

enum { kPayloadStringMax = 255 };

// Reads n bytes at the cursor. A read that delivers fewer than n bytes counts
// as failed, so a truncated payload never hands stale buffer bytes on.
// n = 0 succeeds and leaves the cursor where it was.
bool PayloadRead(Session* s, void* dst, int32_t n);

// One length byte L, then L bytes; the value ends at the first NUL among
// them. Returns false when either read fails; dst is then empty.
bool PayloadReadString(Session* s, Str* dst);

uint32_t PayloadTell(Session* s);

// Moves the cursor to pos. A position the system cannot seek to (beyond
// 2 GiB - 1) leaves the cursor at the end of the stream, so the next read
// fails instead of reading from wherever the cursor was. Returns whether the
// cursor is at pos; callers may ignore it.
bool PayloadSeek(Session* s, uint32_t pos);

#endif
