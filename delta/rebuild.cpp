// The command loop of the rebuild, shared by the file and memory forms.
//
// Streams are read through one small buffer each, refilled from the io
// table; every source-space request is clipped to the bytes that exist before
// the io table sees it, so the io functions never need to invent bytes.
// Nothing here allocates: the buffers live on the stack (about 7 KiB).
#include "delta/rebuild.h"

#include <string.h>

#include "delta/crc32.h"

namespace {

enum {
  kCopyBuf = 1024,   // one copy piece
  kPieceBuf = 513,   // an insert piece (at most 509) or a trailer (255)
  kStreamBuf = 1024,  // read-ahead of each stream
};

const int64_t kMaxOutput = 0x7FFFFFFF;

struct StreamReader {
  int32_t pos;  // next byte in buf
  int32_t len;  // bytes in buf
  bool ended;   // the stream gave no more bytes; no further reads
  uint8_t buf[kStreamBuf];
};

struct BitReader {
  uint32_t cur;  // the byte being taken apart
  uint32_t idx;  // next bit, 0..7; 0 loads a new byte
};

struct State {
  const RebuildIo* io;
  int64_t old_size;
  uint32_t crc;
  int32_t count;  // bytes handed to append_output so far
  StreamReader rd[kStreamCount];
};

// Fetches the next buffer of a stream: false when the read failed (the
// buffer is then empty and the next request asks again).
bool Refill(const RebuildIo* io, int which, StreamReader* r) {
  r->pos = 0;
  r->len = 0;
  if (r->ended) return true;
  int32_t got = 0;
  if (!io->read_stream(io->ctx, which, r->buf, kStreamBuf, &got)) return false;
  if (got <= 0) {
    r->ended = true;
    return true;
  }
  r->len = got < kStreamBuf ? got : kStreamBuf;
  return true;
}

// The bytes and bits of packed numbers are taken without a check: a failed
// or exhausted stream gives 0.
inline uint32_t TakeByte(const RebuildIo* io, int which, StreamReader* r) {
  if (r->pos == r->len) {
    Refill(io, which, r);
    if (r->len == 0) return 0;
  }
  return r->buf[r->pos++];
}

inline uint32_t TakeBit(const RebuildIo* io, int which, StreamReader* r,
                        BitReader* b) {
  if (b->idx == 0) b->cur = TakeByte(io, which, r);
  uint32_t bit = (b->cur >> b->idx) & 1u;
  b->idx = (b->idx + 1) & 7u;
  return bit;
}

// Which continuation bits exist follows from the width bound alone.
struct NumberReader {
  bool byte1, byte2, byte3;
  BitReader flag;
  BitReader sign;
};

// A packed number as the 32-bit two's-complement value a signed reader sees;
// every command-stream byte it takes lowers *remaining.
inline uint32_t ReadNumber(State* s, NumberReader* nr, int32_t* remaining) {
  const RebuildIo* io = s->io;
  StreamReader* cmd = &s->rd[kCommandStream];
  StreamReader* flag = &s->rd[kFlagStream];
  StreamReader* sign = &s->rd[kSignStream];
  uint32_t mag = TakeByte(io, kCommandStream, cmd);
  (*remaining)--;
  if (nr->byte1 && TakeBit(io, kSignStream, sign, &nr->sign)) {
    mag |= TakeByte(io, kCommandStream, cmd) << 8;
    (*remaining)--;
    if (nr->byte2 && TakeBit(io, kFlagStream, flag, &nr->flag)) {
      mag |= TakeByte(io, kCommandStream, cmd) << 16;
      (*remaining)--;
      if (nr->byte3 && TakeBit(io, kFlagStream, flag, &nr->flag)) {
        mag |= TakeByte(io, kCommandStream, cmd) << 24;
        (*remaining)--;
      }
    }
  }
  return TakeBit(io, kSignStream, sign, &nr->sign) ? 0u - mag : mag;
}

// n bytes of a stream; false when a read failed. Past the end: zeros.
bool TakeBytes(const RebuildIo* io, int which, StreamReader* r, uint8_t* dst,
               int32_t n) {
  while (n > 0) {
    if (r->pos == r->len) {
      if (!Refill(io, which, r)) return false;
      if (r->len == 0) {
        memset(dst, 0, (size_t)n);
        return true;
      }
    }
    int32_t k = r->len - r->pos;
    if (k > n) k = n;
    memcpy(dst, r->buf + r->pos, (size_t)k);
    r->pos += k;
    dst += k;
    n -= k;
  }
  return true;
}

// n bytes of the source space at pos. The file is chosen by the first byte:
// below old size the old file (negative positions included), else the
// output. Whatever the chosen file does not hold (yet) reads as 0.
bool ReadSpace(State* s, int64_t pos, uint8_t* buf, int32_t n) {
  const RebuildIo* io = s->io;
  bool in_old = pos < s->old_size;
  int64_t lo = in_old ? 0 : s->old_size;
  int64_t hi = in_old ? s->old_size : s->old_size + s->count;
  int64_t a = pos > lo ? pos : lo;
  int64_t b = pos + n < hi ? pos + n : hi;
  if (a >= b) {
    memset(buf, 0, (size_t)n);
    return true;
  }
  int32_t skip = (int32_t)(a - pos);
  int32_t want = (int32_t)(b - a);
  memset(buf, 0, (size_t)skip);
  int32_t got = 0;
  bool ok = in_old ? io->read_old(io->ctx, (int32_t)a, buf + skip, want, &got)
                   : io->read_output(io->ctx, (int32_t)(a - s->old_size),
                                     buf + skip, want, &got);
  if (!ok) return false;
  if (got < 0 || got > want) got = 0;
  memset(buf + skip + got, 0, (size_t)(n - skip - got));
  return true;
}

// The register and the count take the bytes even when the write fails.
inline bool Emit(State* s, const uint8_t* buf, int32_t n) {
  s->crc = CrcUpdate(buf, n, s->crc);
  s->count += n;
  return s->io->append_output(s->io->ctx, buf, n);
}

// len bytes of the source space at pos to the output, in pieces of at most
// 1024 bytes. A piece that starts in the output less than a piece's length
// before its end would read bytes it is itself producing: it reads the ones
// that exist and repeats them, so the copy behaves as an LZ77 match.
bool Copy(State* s, int64_t pos, int32_t len, uint8_t* buf) {
  while (len > 0) {
    int32_t n = len < kCopyBuf ? len : kCopyBuf;
    int64_t behind = s->old_size + s->count - pos;
    if (pos >= s->old_size && behind > 0 && behind < n) {
      int32_t d = (int32_t)behind;
      if (!ReadSpace(s, pos, buf, d)) return false;
      for (int32_t i = d; i < n; i++) buf[i] = buf[i - d];
    } else if (!ReadSpace(s, pos, buf, n)) {
      return false;
    }
    if (!Emit(s, buf, n)) return false;
    pos += n;
    len -= n;
  }
  return true;
}

inline void AddBytes(uint8_t* dst, const uint8_t* old, int32_t n) {
  for (int32_t i = 0; i < n; i++) dst[i] = (uint8_t)(dst[i] + old[i]);
}

}  // namespace

MsgCode Rebuild(const SourceRecord* rec, int32_t new_size, const RebuildIo* io,
                RebuildResult* out) {
  State s;
  s.io = io;
  s.crc = kCrcPreset;
  s.count = 0;
  for (int i = 0; i < kStreamCount; i++) {
    s.rd[i].pos = 0;
    s.rd[i].len = 0;
    s.rd[i].ended = false;
  }
  out->crc = kCrcPreset;
  out->byte_count = 0;

  // A block size of 0 would make an insert spin for ever; sizes of 2^31 and
  // more are outside the format.
  if (rec->insert_block_size == 0 || rec->old_size > 0x7FFFFFFFu)
    return kMsgBroken;

  s.old_size = rec->old_size;
  int64_t width = (rec->flags & kSourceSelfReference)
                      ? s.old_size + new_size
                      : (s.old_size > new_size ? s.old_size : new_size);
  const bool add_trailers = (rec->flags & kSourceRawTrailers) == 0;
  const int32_t group_size = rec->trailer_group_size;
  const uint32_t block = rec->insert_block_size;

  // A sound delta writes exactly new_size bytes. A command that would go
  // past them can only come from a damaged or hostile delta, and carrying on
  // would let a few bytes of commands fill the disk before the caller's
  // size comparison rejects the output; so it stops the rebuild with 12
  // before writing anything, the code that comparison would give. A
  // negative new_size (a size outside the format) leaves room for nothing.
  const int64_t limit = new_size > 0 ? new_size : 0;

  int32_t remaining = (int32_t)rec->stream_len[kCommandStream];
  NumberReader num;
  num.byte1 = width > 0xFF;
  num.byte2 = width > 0xFFFF;
  num.byte3 = width > 0xFFFFFF;
  num.flag.cur = num.flag.idx = 0;
  num.sign.cur = num.sign.idx = 0;
  int32_t prev_pos = 0;   // P
  int32_t prev_len = 0;   // L
  int32_t trailer = 0;    // T
  int32_t group = 0;      // copy and skip commands left in the trailer group
  StreamReader* const cmd = &s.rd[kCommandStream];

  uint8_t copy_buf[kCopyBuf];
  uint8_t piece[kPieceBuf];
  uint8_t old_piece[kPieceBuf];

  MsgCode rc = kOk;
  while (remaining > 0) {
    if (io->pump) io->pump(io->pump_ctx);

    const int32_t value = (int32_t)ReadNumber(&s, &num, &remaining);

    if (value == 0) {  // skip
      // Once below 0 the counter never reaches 0 again; holding it at -1
      // keeps it from wrapping.
      if (group >= 0) group--;
      continue;
    }

    if (value > 0) {  // copy
      // D counts from the end of the previous copy.
      uint32_t d = ReadNumber(&s, &num, &remaining);
      prev_pos = (int32_t)((uint32_t)prev_pos + (uint32_t)prev_len + d);
      if (group == 0) {
        uint8_t t = 0;
        remaining--;
        if (!TakeBytes(io, kCommandStream, cmd, &t, 1)) {
          rc = kMsgBroken;
          break;
        }
        trailer = t;
        group = group_size;
      }
      if (group >= 0) group--;
      prev_len = value;
      const int64_t end = s.count + (int64_t)value + trailer;
      if (end > limit) {
        rc = end > kMaxOutput ? kMsgBroken : kMsgBadChecksum;
        break;
      }
      if (!Copy(&s, prev_pos, prev_len, copy_buf)) {
        rc = kMsgDiskFull;
        break;
      }
      if (trailer > 0) {
        if (!TakeBytes(io, kTrailerStream, &s.rd[kTrailerStream], piece,
                       trailer)) {
          rc = kMsgBroken;
          break;
        }
        if (add_trailers) {
          if (!ReadSpace(&s, (int64_t)prev_pos + prev_len, old_piece,
                         trailer)) {
            rc = kMsgBroken;
            break;
          }
          AddBytes(piece, old_piece, trailer);
        }
        if (!Emit(&s, piece, trailer)) {
          rc = kMsgDiskFull;
          break;
        }
      }
      continue;
    }

    // Insert of M bytes, 1 .. 2^31. Every piece but the last is one block;
    // the last takes the rest together with one block.
    const uint32_t total = 0u - (uint32_t)value;
    const int64_t end = s.count + (int64_t)total;
    if (end > limit) {
      rc = end > kMaxOutput ? kMsgBroken : kMsgBadChecksum;
      break;
    }
    const int64_t base = (int64_t)prev_pos + prev_len + trailer;
    uint32_t done = 0;
    for (;;) {
      uint32_t rest = total - done;
      bool last = rest < 2 * block;
      int32_t n = (int32_t)(last ? rest : block);
      if (!TakeBytes(io, kInsertStream, &s.rd[kInsertStream], piece, n)) {
        rc = kMsgBroken;
        break;
      }
      if (TakeBit(io, kFlagStream, &s.rd[kFlagStream], &num.flag) == 0) {
        if (!ReadSpace(&s, base + done, old_piece, n)) {
          rc = kMsgBroken;
          break;
        }
        AddBytes(piece, old_piece, n);
      }
      if (!Emit(&s, piece, n)) {
        rc = kMsgDiskFull;
        break;
      }
      if (last) break;
      done += block;
    }
    if (rc != kOk) break;
  }

  // An io that gathers appends reports a failed write late. Had the bytes
  // been written at once, that failure would have come first, so it takes
  // precedence over whatever stopped the loop since.
  if (io->finish && !io->finish(io->ctx)) rc = kMsgDiskFull;
  out->crc = s.crc;
  out->byte_count = s.count;
  return rc;
}
