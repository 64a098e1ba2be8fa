// The rebuild over bytes in memory: the maker checks every delta it writes
// with the same command loop the applier runs.
#include <stdlib.h>
#include <string.h>

#include "delta/rebuild.h"

namespace {

// Copies what [pos, pos + n) and [0, len) share.
int32_t Take(const uint8_t* src, int32_t len, int32_t pos, uint8_t* buf,
             int32_t n) {
  if (!src || pos < 0 || pos >= len) return 0;
  int32_t k = len - pos < n ? len - pos : n;
  memcpy(buf, src + pos, (size_t)k);
  return k;
}

bool ReadStream(void* ctx, int which, uint8_t* buf, int32_t n, int32_t* got) {
  MemRebuild* m = (MemRebuild*)ctx;
  *got = Take(m->stream[which], m->stream_len[which], m->stream_pos[which],
              buf, n);
  m->stream_pos[which] += *got;
  return true;
}

bool ReadOld(void* ctx, int32_t pos, uint8_t* buf, int32_t n, int32_t* got) {
  MemRebuild* m = (MemRebuild*)ctx;
  *got = Take(m->old_data, m->old_len, pos, buf, n);
  return true;
}

bool ReadOutput(void* ctx, int32_t pos, uint8_t* buf, int32_t n,
                int32_t* got) {
  MemRebuild* m = (MemRebuild*)ctx;
  *got = Take(m->out, m->out_len, pos, buf, n);
  return true;
}

bool Append(void* ctx, const uint8_t* buf, int32_t n) {
  MemRebuild* m = (MemRebuild*)ctx;
  if (n <= 0) return true;
  if (n > m->out_limit - m->out_len) return false;
  if (n > m->out_cap - m->out_len) {
    int64_t cap = m->out_cap ? (int64_t)m->out_cap * 2 : 65536;
    if (cap < (int64_t)m->out_len + n) cap = (int64_t)m->out_len + n;
    if (cap > m->out_limit) cap = m->out_limit;
    uint8_t* grown = (uint8_t*)realloc(m->out, (size_t)cap);
    if (!grown) return false;
    m->out = grown;
    m->out_cap = (int32_t)cap;
  }
  memcpy(m->out + m->out_len, buf, (size_t)n);
  m->out_len += n;
  return true;
}

}  // namespace

void MemRebuildInit(MemRebuild* m, const uint8_t* old_data, int32_t old_len,
                    const SourceRecord* rec, const uint8_t* streams,
                    int32_t streams_len) {
  m->old_data = old_data;
  m->old_len = old_len < 0 ? 0 : old_len;
  uint64_t at = 0;
  uint64_t end = streams_len < 0 ? 0 : (uint64_t)streams_len;
  for (int i = 0; i < kStreamCount; i++) {
    uint64_t from = at < end ? at : end;
    at += rec->stream_len[i];
    uint64_t to = at < end ? at : end;
    m->stream[i] = streams ? streams + from : 0;
    m->stream_len[i] = (int32_t)(to - from);
    m->stream_pos[i] = 0;
  }
  m->out = 0;
  m->out_len = 0;
  m->out_cap = 0;
  m->out_limit = 0x7FFFFFFF;
}

RebuildIo MemRebuildIo(MemRebuild* m) {
  RebuildIo io;
  io.ctx = m;
  io.read_stream = ReadStream;
  io.read_old = ReadOld;
  io.read_output = ReadOutput;
  io.append_output = Append;
  io.finish = 0;
  io.pump = 0;
  io.pump_ctx = 0;
  return io;
}

void MemRebuildFree(MemRebuild* m) {
  free(m->out);
  m->out = 0;
  m->out_len = 0;
  m->out_cap = 0;
}

MsgCode RebuildInMemory(const SourceRecord* rec, int32_t new_size,
                        const uint8_t* old_data, int32_t old_len,
                        const uint8_t* streams, int32_t streams_len,
                        MemRebuild* m, RebuildResult* out) {
  MemRebuildInit(m, old_data, old_len, rec, streams, streams_len);
  // A well-formed delta writes exactly new_size bytes: take them at once
  // rather than growing by doubling (a failure here only means growing).
  if (new_size > 0) {
    m->out = (uint8_t*)malloc((size_t)new_size);
    if (m->out) m->out_cap = new_size;
  }
  RebuildIo io = MemRebuildIo(m);
  return Rebuild(rec, new_size, &io, out);
}
