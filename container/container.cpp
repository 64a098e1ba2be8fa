#include "container/container.h"

#include <string.h>
#include <zlib.h>

#include "container/payload_stream.h"

namespace {

uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
         ((uint32_t)p[3] << 24);
}

// Reads of the executable: a short read is as good as a failed one, since
// the container lies wholly inside the file's size.
bool ReadExe(Session* s, void* buf, int32_t n) {
  int32_t done = 0;
  return s->os->read(s->exe, buf, n, &done) && done == n;
}

bool SeekExe(Session* s, uint32_t pos) {
  return pos <= 0x7FFFFFFFu && s->os->seek(s->exe, (int32_t)pos) == pos;
}

// The payload stream never grows past max bytes (see kPayloadMaxLength):
// the write that would take it there is not made, and the payload counts
// as broken.
MsgCode WritePayload(Session* s, const void* buf, int32_t n, uint32_t max,
                     ContainerFacts* f) {
  if ((uint32_t)n > max - f->payload_length) return kMsgBroken;
  int32_t done = 0;
  if (!s->os->write(s->payload, buf, n, &done) || done != n)
    return kMsgTempFull;
  f->payload_length += (uint32_t)n;
  return kOk;
}

// Stored region: copied to the payload stream in 1024-byte pieces. One
// longer than the payload may be is refused before anything is copied.
MsgCode CopyRegion(Session* s, uint32_t remaining, uint32_t max,
                   ContainerFacts* f) {
  if (remaining > max) return kMsgBroken;
  uint8_t piece[kContainerPiece];
  while (remaining > 0) {
    int32_t c = remaining < kContainerPiece ? (int32_t)remaining
                                            : (int32_t)kContainerPiece;
    if (!ReadExe(s, piece, c)) return kMsgBroken;
    RETURN_IF_ERR(WritePayload(s, piece, c, max, f));
    remaining -= (uint32_t)c;
  }
  return kOk;
}

// Deflated region: read in 1024-byte pieces, each inflated with
// Z_SYNC_FLUSH into a 1024-byte output buffer until the piece is used up;
// the stream's end stops the reading at once. inflate only reports OK while
// it makes progress with input and output room both offered, so any other
// answer, or a call that moved nothing, means a corrupt stream and ends the
// loop with 1, as does output past max bytes.
MsgCode InflateRegion(Session* s, z_stream* z, uint32_t remaining,
                      uint32_t max, ContainerFacts* f) {
  uint8_t in[kContainerPiece];
  uint8_t out[kContainerPiece];
  while (remaining > 0) {
    int32_t c = remaining < kContainerPiece ? (int32_t)remaining
                                            : (int32_t)kContainerPiece;
    if (!ReadExe(s, in, c)) return kMsgBroken;
    z->next_in = in;
    z->avail_in = (uInt)c;
    while (z->avail_in > 0) {
      uInt in_before = z->avail_in;
      z->next_out = out;
      z->avail_out = sizeof out;
      int rc = inflate(z, Z_SYNC_FLUSH);
      int32_t k = (int32_t)(sizeof out - z->avail_out);
      if (k > 0) RETURN_IF_ERR(WritePayload(s, out, k, max, f));
      if (rc == Z_STREAM_END) {
        f->stream_ended = true;
        f->region_used = f->region_length - remaining + (uint32_t)c -
                         (uint32_t)z->avail_in;
        return kOk;
      }
      if (rc != Z_OK) return kMsgBroken;
      if (k == 0 && z->avail_in == in_before) return kMsgBroken;
    }
    remaining -= (uint32_t)c;
  }
  f->region_used = f->region_length;
  // Drain: the region ran out before the stream's end. Whatever inflate
  // still holds comes out with Z_FINISH; a call that yields nothing ends it.
  for (;;) {
    z->next_in = in;
    z->avail_in = 0;
    z->next_out = out;
    z->avail_out = sizeof out;
    int rc = inflate(z, Z_FINISH);
    int32_t k = (int32_t)(sizeof out - z->avail_out);
    if (k > 0) RETURN_IF_ERR(WritePayload(s, out, k, max, f));
    if (rc == Z_STREAM_END) f->stream_ended = true;
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
      return kMsgBroken;
    if (k == 0 || rc == Z_STREAM_END) return kOk;
  }
}

MsgCode BuildPayloadStream(Session* s, uint32_t max, ContainerFacts* f) {
  s->payload = s->os->create_temp_file();
  if (!s->payload) return kMsgTempFull;
  MsgCode rc;
  if (f->flags & kContainerFlagDeflated) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -15) != Z_OK) return kMsgBroken;
    rc = InflateRegion(s, &z, f->region_length, max, f);
    inflateEnd(&z);
  } else {
    rc = CopyRegion(s, f->region_length, max, f);
  }
  if (rc != kOk) return rc;
  // The temporary file failing to go back to its start is a temporary-file
  // failure like a failed write.
  if (s->os->seek(s->payload, 0) != 0) return kMsgTempFull;
  return kOk;
}

// Reads a text of `len` stored bytes into buf (kContainerTextMax + 1 bytes):
// the first kContainerTextMax are kept, the rest read and dropped so the
// cursor ends after the whole text. Returns the kept length, or -1 when the
// payload is too short.
int32_t ReadText(Session* s, char* buf, uint16_t len) {
  int32_t keep = len;
  if (keep > kContainerTextMax) keep = kContainerTextMax;
  if (!PayloadRead(s, buf, keep)) return -1;
  buf[keep] = 0;
  int32_t rest = len - keep;
  char drop[256];
  while (rest > 0) {
    int32_t c = rest < (int32_t)sizeof drop ? rest : (int32_t)sizeof drop;
    if (!PayloadRead(s, drop, c)) return -1;
    rest -= c;
  }
  return keep;
}

// The notice ends at a '#' directly followed by '%' inside the kept text;
// NULs before that point become line feeds.
void PrepareNotice(char* t, int32_t len) {
  for (int32_t i = 0; i < len; i++) {
    if (t[i] == '#' && i + 1 < len && t[i + 1] == '%') {
      t[i] = 0;
      return;
    }
    if (t[i] == 0) t[i] = '\n';
  }
}

// The description pane shows 0x01 as a line break.
void PrepareDescription(char* t, int32_t len) {
  for (int32_t i = 0; i < len; i++)
    if (t[i] == 0) t[i] = 0x01;
}

MsgCode Load(Session* s, uint32_t payload_max, ContainerFacts* f) {
  if (s->own_path.overflow || s->own_path.len == 0) return kMsgCannotOpenSelf;
  s->exe = s->os->open_file(s->own_path.s, kOpenForReading);
  if (!s->exe) return kMsgCannotOpenSelf;

  uint32_t size = s->os->file_size(s->exe);
  if (size == kInvalidSize || size < kContainerTrailerSize) return kMsgNotAPatch;
  f->file_size = size;
  uint8_t trailer[kContainerTrailerSize];
  if (!SeekExe(s, size - kContainerTrailerSize) ||
      !ReadExe(s, trailer, kContainerTrailerSize))
    return kMsgNotAPatch;
  uint32_t n = Le32(trailer);
  f->container_length = n;
  f->trailer_magic = Le32(trailer + 4);
  // Refused here rather than left to fail at a later read or to yield a
  // meaningless payload: a length that does not fit the file.
  if (n < kContainerMinSize || n > size) return kMsgNotAPatch;

  uint8_t header[kContainerHeaderSize];
  if (!SeekExe(s, size - n) || !ReadExe(s, header, kContainerHeaderSize))
    return kMsgNotAPatch;
  f->header_magic = Le32(header);
  f->flags = header[kHeaderOffsetFlags];
  f->notice_length = Le16(header + kHeaderOffsetNoticeLength);
  f->description_length = Le16(header + kHeaderOffsetDescriptionLength);
  f->region_length = n - kContainerMinSize;

  RETURN_IF_ERR(BuildPayloadStream(s, payload_max, f));

  char notice[kContainerTextMax + 1];
  char description[kContainerTextMax + 1];
  int32_t notice_len = ReadText(s, notice, f->notice_length);
  if (notice_len < 0) return kMsgNoPatch;
  int32_t description_len = ReadText(s, description, f->description_length);
  if (description_len < 0) return kMsgNoPatch;

  PrepareNotice(notice, notice_len);
  // The cursor now stands just after the texts: both were read in full,
  // every read delivering all it was asked for. Taken from the lengths, the
  // position does not depend on one more system call succeeding.
  s->group_table_pos =
      (uint32_t)f->notice_length + (uint32_t)f->description_length;
  if (s->hooks.keep_notice) s->hooks.keep_notice(s->hooks.ctx, notice);

  if (f->description_length > 0) {
    PrepareDescription(description, description_len);
    if (s->hooks.show_description)
      s->hooks.show_description(s->hooks.ctx, description);
  }
  return kOk;
}

}  // namespace

MsgCode LoadContainerWithLimit(Session* s, ContainerFacts* facts,
                               uint32_t payload_max) {
  ContainerFacts local;
  // The memset below fills whichever struct f points at before anything
  // reads it; cppcheck takes taking the address for a read.
  // cppcheck-suppress uninitvar
  ContainerFacts* f = facts ? facts : &local;
  memset(f, 0, sizeof *f);
  if (payload_max > kPayloadMaxLength) payload_max = kPayloadMaxLength;
  MsgCode rc = Load(s, payload_max, f);
  if (rc != kOk && s->payload) {
    // No half-built payload stream is left for anyone to read.
    s->os->close(s->payload);
    s->payload = 0;
  }
  return rc;
}

MsgCode LoadContainerWithFacts(Session* s, ContainerFacts* facts) {
  return LoadContainerWithLimit(s, facts, kPayloadMaxLength);
}

MsgCode LoadContainer(Session* s) { return LoadContainerWithFacts(s, 0); }
