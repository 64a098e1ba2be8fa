// The rebuild: one source record, its five delta streams and an old file.
//
// Input layout:
//   32 bytes   the source record (delta/source_record.h)
//   4 bytes    new size, little-endian (sets the width bound and the most
//              the output may hold)
//   2 bytes    old file length L, little-endian
//   L bytes    the old file
//   the rest   the five streams back to back; the record's lengths are cut
//              to what is there, as the entry-header reader refuses streams
//              that reach past the payload
//
// The memory form (the maker's) and the file form (the applier's) run the
// same command loop over different io; here the file form runs over a small
// in-memory file table, and both must agree on the result and, when it is
// 0, on the checksum register, the byte count and the output. Neither output
// ever holds more than the new size. The output is also capped at 64 KiB in
// both, as a full disk, since the new size itself may be up to 2 GiB.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "delta/crc32.h"
#include "delta/rebuild.h"
#include "fuzz/fuzz_support.h"

namespace {

const int32_t kOutputCap = 1 << 16;

struct MemFile {
  std::string data;
  size_t pos = 0;
  int64_t limit = -1;  // bytes the file may grow to; -1 none
};

MemFile* F(PlatformFile f) { return (MemFile*)f; }

bool MRead(PlatformFile f, void* buf, int32_t n, int32_t* done) {
  MemFile* m = F(f);
  size_t k = 0;
  if (n > 0 && m->pos < m->data.size()) {
    k = m->data.size() - m->pos;
    if (k > (size_t)n) k = (size_t)n;
    memcpy(buf, m->data.data() + m->pos, k);
  }
  m->pos += k;
  if (done) *done = (int32_t)k;
  return n >= 0;
}

bool MWrite(PlatformFile f, const void* buf, int32_t n, int32_t* done) {
  MemFile* m = F(f);
  if (done) *done = 0;
  if (n < 0) return false;
  if (m->limit >= 0 && (int64_t)m->pos + n > m->limit) return false;
  if (m->pos + (size_t)n > m->data.size()) m->data.resize(m->pos + (size_t)n);
  memcpy(&m->data[m->pos], buf, (size_t)n);
  m->pos += (size_t)n;
  if (done) *done = n;
  return true;
}

uint32_t MSize(PlatformFile f) { return (uint32_t)F(f)->data.size(); }

uint32_t MSeek(PlatformFile f, int32_t pos) {
  if (pos < 0) return kInvalidSize;
  F(f)->pos = (size_t)pos;
  return (uint32_t)pos;
}

uint32_t MTell(PlatformFile f) { return (uint32_t)F(f)->pos; }

Platform MemTable() {
  Platform p;
  memset(&p, 0, sizeof p);
  p.read = MRead;
  p.write = MWrite;
  p.file_size = MSize;
  p.seek = MSeek;
  p.tell = MTell;
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kSourceRecordSize + 6) return 0;
  SourceRecord rec;
  SourceRecordDecode(data, &rec);
  const int32_t new_size = (int32_t)LoadLe32(data + kSourceRecordSize);
  size_t at = kSourceRecordSize + 6;
  size_t old_len = LoadLe16(data + kSourceRecordSize + 4);
  if (old_len > size - at) old_len = size - at;
  const uint8_t* old_data = data + at;
  at += old_len;
  const uint8_t* streams = data + at;
  const size_t streams_len = size - at;
  size_t left = streams_len;
  for (int i = 0; i < kStreamCount; i++) {
    if (rec.stream_len[i] > left) rec.stream_len[i] = (uint32_t)left;
    left -= rec.stream_len[i];
  }

  // Memory form.
  MemRebuild m;
  MemRebuildInit(&m, old_data, (int32_t)old_len, &rec, streams,
                 (int32_t)streams_len);
  m.out_limit = kOutputCap;
  RebuildIo io = MemRebuildIo(&m);
  RebuildResult mr;
  MsgCode mrc = Rebuild(&rec, new_size, &io, &mr);
  FUZZ_CHECK(mrc == kOk || mrc == kMsgBroken || mrc == kMsgDiskFull ||
                 mrc == kMsgBadChecksum,
             std::to_string(mrc));
  FUZZ_CHECK(mr.byte_count >= m.out_len, "byte count below the output");
  const int64_t most = new_size > 0 ? new_size : 0;
  FUZZ_CHECK(m.out_len <= most && mr.byte_count <= most,
             "output past the new size: " + std::to_string(mr.byte_count));
  if (mrc == kOk) {
    FUZZ_CHECK(mr.byte_count == m.out_len, "byte count differs from output");
    FUZZ_CHECK(mr.crc == CrcUpdate(m.out, m.out_len, kCrcPreset),
               "register differs from the output's checksum");
  }

  // File form over in-memory files.
  static const Platform table = MemTable();
  MemFile old_file, output, stream[kStreamCount];
  old_file.data.assign((const char*)old_data, old_len);
  output.limit = kOutputCap;
  size_t from = 0;
  PlatformFile handles[kStreamCount];
  for (int i = 0; i < kStreamCount; i++) {
    stream[i].data.assign((const char*)streams + from, rec.stream_len[i]);
    from += rec.stream_len[i];
    handles[i] = &stream[i];
  }
  RebuildResult fr;
  MsgCode frc = RebuildFiles(&table, &rec, new_size, &old_file, &output,
                             handles, nullptr, nullptr, &fr);
  if (getenv("SELFPATCH_FUZZ_VERBOSE"))
    fprintf(stderr, "memory: %d crc %08x count %d out %d; file: %d crc %08x count %d out %zu\n",
            (int)mrc, (unsigned)mr.crc, (int)mr.byte_count, (int)m.out_len,
            (int)frc, (unsigned)fr.crc, (int)fr.byte_count, output.data.size());
  FUZZ_CHECK(frc == mrc, "file form " + std::to_string(frc) +
                             ", memory form " + std::to_string(mrc));
  FUZZ_CHECK((int64_t)output.data.size() <= most && fr.byte_count <= most,
             "file output past the new size: " +
                 std::to_string(output.data.size()));
  // After a failure the register and count describe nothing the caller
  // uses, and the file form, which gathers small appends, learns of a failed
  // write later than the memory form does.
  if (mrc == kOk) {
    FUZZ_CHECK(fr.crc == mr.crc && fr.byte_count == mr.byte_count,
               "register or count differ between the forms");
    FUZZ_CHECK(output.data.size() == (size_t)m.out_len &&
                   (m.out_len == 0 ||
                    memcmp(output.data.data(), m.out, (size_t)m.out_len) == 0),
               "outputs differ between the forms");
  }
  MemRebuildFree(&m);
  return 0;
}
