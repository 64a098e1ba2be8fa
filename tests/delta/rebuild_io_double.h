// A scripted RebuildIo for the rebuild's unit tests: streams from byte
// vectors handed out in chunks of a chosen size, an old file held in memory
// or synthesized from its position (so huge old sizes cost nothing), the
// output in a vector, every source-space request recorded, chosen calls made
// to fail, and the part of a buffer a read does not fill scribbled over so
// that bytes the rebuild forgets to define show up.
#ifndef SELFPATCH_TESTS_DELTA_REBUILD_IO_DOUBLE_H
#define SELFPATCH_TESTS_DELTA_REBUILD_IO_DOUBLE_H

#include <string.h>

#include <string>
#include <vector>

#include "delta/crc32.h"
#include "delta/rebuild.h"
#include "support/test_encoder.h"

enum IoOp {
  // kCommandStream .. kTrailerStream are the stream reads.
  kIoOld = kStreamCount,
  kIoOutput,
  kIoAppend,
  kIoFinish,
  kIoOpCount
};

struct SpaceRequest {
  int32_t pos;
  int32_t n;
  bool operator==(const SpaceRequest& o) const {
    return pos == o.pos && n == o.n;
  }
};

inline uint8_t SynthOldByte(int64_t pos) { return (uint8_t)(pos * 131 + 7); }

class ScriptedIo {
 public:
  Bytes stream[kStreamCount];
  int chunk = 512;  // most bytes one read_stream call hands out
  Bytes old;
  bool synth_old = false;  // old bytes from SynthOldByte, any position
  Bytes out;
  std::vector<SpaceRequest> old_reads, out_reads;
  int pumps = 0;
  int fail_at[kIoOpCount] = {};  // 1-based call that fails; 0 = none
  int calls[kIoOpCount] = {};

  RebuildIo io() {
    RebuildIo r;
    r.ctx = this;
    r.read_stream = ReadStream;
    r.read_old = ReadOld;
    r.read_output = ReadOutput;
    r.append_output = Append;
    r.finish = Finish;
    r.pump = Pump;
    r.pump_ctx = this;
    return r;
  }

 private:
  size_t pos_[kStreamCount] = {};

  bool Fails(int op) { return ++calls[op] == fail_at[op]; }
  static void Scribble(uint8_t* buf, int32_t from, int32_t n) {
    if (n > from) memset(buf + from, 0xEE, (size_t)(n - from));
  }
  static bool ReadStream(void* ctx, int which, uint8_t* buf, int32_t n,
                         int32_t* got) {
    ScriptedIo* s = (ScriptedIo*)ctx;
    *got = 0;
    Scribble(buf, 0, n);
    if (s->Fails(which)) return false;
    size_t left = s->stream[which].size() - s->pos_[which];
    int32_t k = n < s->chunk ? n : s->chunk;
    if ((size_t)k > left) k = (int32_t)left;
    memcpy(buf, s->stream[which].data() + s->pos_[which], (size_t)k);
    s->pos_[which] += (size_t)k;
    *got = k;
    return true;
  }
  static bool ReadOld(void* ctx, int32_t pos, uint8_t* buf, int32_t n,
                      int32_t* got) {
    ScriptedIo* s = (ScriptedIo*)ctx;
    s->old_reads.push_back({pos, n});
    *got = 0;
    Scribble(buf, 0, n);
    if (s->Fails(kIoOld)) return false;
    for (int32_t i = 0; i < n; i++) {
      int64_t q = (int64_t)pos + i;
      if (s->synth_old) {
        buf[i] = SynthOldByte(q);
      } else {
        if (q < 0 || q >= (int64_t)s->old.size()) break;
        buf[i] = s->old[(size_t)q];
      }
      *got = i + 1;
    }
    return true;
  }
  static bool ReadOutput(void* ctx, int32_t pos, uint8_t* buf, int32_t n,
                         int32_t* got) {
    ScriptedIo* s = (ScriptedIo*)ctx;
    s->out_reads.push_back({pos, n});
    *got = 0;
    Scribble(buf, 0, n);
    if (s->Fails(kIoOutput)) return false;
    for (int32_t i = 0; i < n && (size_t)pos + i < s->out.size(); i++) {
      buf[i] = s->out[(size_t)pos + i];
      *got = i + 1;
    }
    return true;
  }
  static bool Append(void* ctx, const uint8_t* buf, int32_t n) {
    ScriptedIo* s = (ScriptedIo*)ctx;
    if (s->Fails(kIoAppend)) return false;
    s->out.insert(s->out.end(), buf, buf + n);
    return true;
  }
  static bool Finish(void* ctx) { return !((ScriptedIo*)ctx)->Fails(kIoFinish); }
  static void Pump(void* ctx) { ((ScriptedIo*)ctx)->pumps++; }
};

// A record for hand-built streams: lengths taken from the streams.
inline SourceRecord MakeRecord(uint32_t old_size, uint16_t group,
                               uint8_t flags, uint8_t block,
                               const Bytes stream[kStreamCount]) {
  SourceRecord r = SourceRecord();
  r.old_size = old_size;
  for (int i = 0; i < kStreamCount; i++)
    r.stream_len[i] = (uint32_t)stream[i].size();
  r.trailer_group_size = group;
  r.flags = flags;
  r.insert_block_size = block;
  return r;
}

// "0110..." read left to right as the bits in the order the rebuild takes
// them (least significant bit of each byte first).
inline Bytes Bits(const std::string& bits) {
  BitWriter w;
  for (char c : bits) w.Put(c == '1');
  return w.bytes;
}

inline uint32_t CrcOf(const Bytes& b) {
  return CrcUpdate(b.data(), (int32_t)b.size(), kCrcPreset);
}

#endif
