// A small test-only delta encoder: it turns a list of operations into the
// five streams and the source record of one source, and keeps the new file
// that the rebuild must produce from them.
//
//   TestEncoder enc(old_bytes, {/*group*/ 3, /*block*/ 20});
//   enc.Copy(100, 50);                      // 50 bytes of the old file at 100
//   enc.Copy(400, 8, {'x', 'y'});           // then two trailer bytes
//   enc.Insert(Bytes{1, 2, 3});             // raw insert
//   enc.Insert(new_bytes, /*raw=*/false);   // stored as differences
//   enc.CopyRelative(-16, 4);               // offset D given directly
//   enc.Skip();
//   EncodedDelta d = enc.Finish();          // d.record, d.stream[i], d.expected
//   // payload order: d.RecordBytes(), then d.Streams()
//
// Operations are given by their meaning (the new bytes they stand for); the
// encoder stores trailers and added pieces as differences against the
// source-space bytes the rebuild will add them to, and codes every number
// with the fewest bytes the width bound allows. Positions may address the
// new file's own bytes (old size + k); such a copy may overlap the bytes it
// produces (an LZ77-style run). A source-space read outside what exists
// gives zero bytes there, as the rebuild defines it.
//
// Each trailer group takes its trailer length from the copy that starts it;
// the trailer of every other copy in the group must have that length
// (std::invalid_argument otherwise), as must numbers the width bound cannot
// code.
#ifndef SELFPATCH_TESTS_SUPPORT_TEST_ENCODER_H
#define SELFPATCH_TESTS_SUPPORT_TEST_ENCODER_H

#include <stdint.h>

#include <vector>

#include "delta/source_record.h"

typedef std::vector<uint8_t> Bytes;

struct TestDeltaOptions {
  uint16_t trailer_group_size = 1;
  uint8_t insert_block_size = 20;
  bool self_reference = false;
  bool raw_trailers = false;
};

// Bits in the order the rebuild takes them: least significant first.
struct BitWriter {
  Bytes bytes;
  int used = 0;  // bits written
  void Put(bool bit);
};

// One packed number as the rebuild reads it under the given width bound;
// std::invalid_argument when the bound does not allow enough bytes.
void PackNumber(int64_t value, int64_t width_bound, Bytes* cmd,
                BitWriter* flag, BitWriter* sign);

int64_t WidthBound(int64_t old_size, int64_t new_size, bool self_reference);

struct EncodedDelta {
  SourceRecord record;  // old checksum: CRC register of the whole old file
  Bytes stream[kStreamCount];
  Bytes expected;       // the new file
  int32_t new_size;     // expected.size() unless Finish was told otherwise
  uint32_t new_checksum;  // CRC register of expected

  Bytes Streams() const;      // the five streams back to back
  Bytes RecordBytes() const;  // the 32-byte record
};

class TestEncoder {
 public:
  explicit TestEncoder(Bytes old, TestDeltaOptions opt = TestDeltaOptions());

  // length bytes (> 0) of the source space at position, then the trailer.
  void Copy(int32_t position, int32_t length, const Bytes& trailer = Bytes());
  // The same with D, the offset from the end of the previous copy.
  void CopyRelative(int32_t offset, int32_t length,
                    const Bytes& trailer = Bytes());
  // New bytes (at least one), every piece raw or every piece added.
  void Insert(const Bytes& bytes, bool raw = true);
  // One raw flag per piece, in piece order.
  void InsertPieces(const Bytes& bytes, const std::vector<bool>& raw);
  void Skip();

  // Number of pieces an insert of m bytes takes.
  int PieceCount(int64_t m) const;
  // Whether the next copy reads a trailer length, and the length in force.
  bool NextCopyStartsGroup() const { return group_ == 0; }
  int TrailerLength() const { return trailer_; }
  // The new file so far.
  const Bytes& output() const { return out_; }

  EncodedDelta Finish() const;
  // new_size sets the record's width bound (and EncodedDelta::new_size).
  EncodedDelta Finish(int32_t new_size) const;

 private:
  struct Op {
    int kind;  // 0 skip, 1 copy, 2 insert
    int64_t n;
    int64_t d;
    bool trailer_len;  // a trailer length byte follows
    uint8_t trailer_len_value;
    Bytes trailer_stored;
    Bytes insert_stored;
    std::vector<bool> raw;
  };
  Bytes SpaceRead(int64_t pos, int64_t n) const;
  void AppendCopy(int64_t pos, int64_t len);

  Bytes old_;
  TestDeltaOptions opt_;
  std::vector<Op> ops_;
  Bytes out_;
  int64_t prev_pos_ = 0, prev_len_ = 0;
  int trailer_ = 0;
  int64_t group_ = 0;
};

#endif
