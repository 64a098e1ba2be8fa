#include "container/payload_stream.h"

#include <string.h>

bool PayloadRead(Session* s, void* dst, int32_t n) {
  if (!s->payload || n < 0) return false;
  int32_t done = 0;
  if (!s->os->read(s->payload, dst, n, &done)) return false;
  // Fewer bytes than asked means the payload ended early: the record is cut
  // and whatever the destination held before must not pass for its fields.
  return done == n;
}

bool PayloadReadString(Session* s, Str* dst) {
  uint8_t len = 0;
  char buf[kPayloadStringMax + 1];
  StrClear(dst);
  if (!PayloadRead(s, &len, 1)) return false;
  if (!PayloadRead(s, buf, len)) return false;
  buf[len] = 0;
  StrSetZ(dst, buf);
  return true;
}

uint32_t PayloadTell(Session* s) {
  if (!s->payload) return 0;
  return s->os->tell(s->payload);
}

bool PayloadSeek(Session* s, uint32_t pos) {
  if (!s->payload) return false;
  // The system seeks by a signed 32-bit distance from the start; a position
  // beyond it would fail and leave the cursor where it was, and the next
  // read would take bytes from the wrong place. Park it at the end instead,
  // where every read comes up short.
  if (pos <= 0x7FFFFFFFu && s->os->seek(s->payload, (int32_t)pos) == pos)
    return true;
  uint32_t end = s->os->file_size(s->payload);
  if (end <= 0x7FFFFFFFu) s->os->seek(s->payload, (int32_t)end);
  return false;
}
