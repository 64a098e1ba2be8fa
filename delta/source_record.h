// The 32-byte source record that precedes each source's delta streams.
//
//   offset  width  field
//   0       u32    old checksum (CRC register, source hole left out)
//   4       u32    old size
//   8       u32    command stream length
//   12      u32    flag stream length
//   16      u32    sign stream length
//   20      u32    insert stream length
//   24      u32    trailer stream length
//   28      u16    trailer group size
//   30      u8     source flags: 0x01 self-reference, 0x02 raw trailers
//   31      u8     insert block size (1..255)
//
// All little-endian.
#ifndef SELFPATCH_DELTA_SOURCE_RECORD_H
#define SELFPATCH_DELTA_SOURCE_RECORD_H

#include <stdint.h>

enum { kSourceRecordSize = 32, kStreamCount = 5 };

// Stream order within the payload and within stream_len.
enum { kCommandStream = 0, kFlagStream, kSignStream, kInsertStream,
       kTrailerStream };

enum : uint8_t { kSourceSelfReference = 0x01, kSourceRawTrailers = 0x02 };

struct SourceRecord {
  uint32_t old_checksum;
  uint32_t old_size;
  uint32_t stream_len[kStreamCount];
  uint16_t trailer_group_size;
  uint8_t flags;
  uint8_t insert_block_size;
};

inline uint32_t LoadLe32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
         ((uint32_t)p[3] << 24);
}

inline uint16_t LoadLe16(const uint8_t* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

inline void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

inline void SourceRecordDecode(const uint8_t raw[kSourceRecordSize],
                               SourceRecord* r) {
  r->old_checksum = LoadLe32(raw + 0);
  r->old_size = LoadLe32(raw + 4);
  for (int i = 0; i < kStreamCount; i++)
    r->stream_len[i] = LoadLe32(raw + 8 + 4 * i);
  r->trailer_group_size = LoadLe16(raw + 28);
  r->flags = raw[30];
  r->insert_block_size = raw[31];
}

inline void SourceRecordEncode(const SourceRecord* r,
                               uint8_t raw[kSourceRecordSize]) {
  StoreLe32(raw + 0, r->old_checksum);
  StoreLe32(raw + 4, r->old_size);
  for (int i = 0; i < kStreamCount; i++)
    StoreLe32(raw + 8 + 4 * i, r->stream_len[i]);
  StoreLe16(raw + 28, r->trailer_group_size);
  raw[30] = r->flags;
  raw[31] = r->insert_block_size;
}

#endif
