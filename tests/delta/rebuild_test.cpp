// The command loop, through a scripted io: hand-built streams pin the
// format down byte for byte; the test encoder drives the random round trips.
#include <random>

#include <gtest/gtest.h>

#include "delta/rebuild.h"
#include "delta/rebuild_io_double.h"

namespace {

struct Outcome {
  MsgCode rc;
  RebuildResult res;
};

Outcome RunRebuild(ScriptedIo* io, const SourceRecord& rec, int32_t new_size) {
  RebuildIo t = io->io();
  Outcome o;
  o.rc = Rebuild(&rec, new_size, &t, &o.res);
  return o;
}

Bytes Range(uint8_t first, int n) {
  Bytes b;
  for (int i = 0; i < n; i++) b.push_back((uint8_t)(first + i));
  return b;
}

Bytes Text(const char* s) { return Bytes(s, s + strlen(s)); }

TEST(Rebuild, WorkedExample) {
  ScriptedIo io;
  io.old = Range(0x30, 10);
  io.stream[kCommandStream] = {0x04, 0x00, 0x00, 0x02, 0x04, 0x02, 0x01};
  io.stream[kFlagStream] = {0x02};
  io.stream[kSignStream] = {0x24};
  io.stream[kInsertStream] = {0x24, 0x24, 0x21};
  SourceRecord rec = MakeRecord(10, 190, 0, 20, io.stream);
  Outcome o = RunRebuild(&io, rec, 11);
  const Bytes want = {0x30, 0x31, 0x32, 0x33, 0x58, 0x59,
                      0x36, 0x37, 0x38, 0x39, 0x21};
  EXPECT_EQ(o.rc, kOk);
  EXPECT_EQ(io.out, want);
  EXPECT_EQ(o.res.byte_count, 11);
  EXPECT_EQ(o.res.crc, CrcOf(want));
  EXPECT_EQ(io.pumps, 4);  // once per command
  // The added piece reads the old bytes just past the first copy.
  EXPECT_EQ(io.old_reads, (std::vector<SpaceRequest>{{0, 4}, {4, 2}, {6, 4}}));
}

TEST(Rebuild, EmptyCommandStreamWritesNothing) {
  ScriptedIo io;
  io.old = Range(0, 10);
  io.stream[kSignStream] = {0xFF};  // present but never needed
  SourceRecord rec = MakeRecord(10, 1, 0, 20, io.stream);
  Outcome o = RunRebuild(&io, rec, 0);
  EXPECT_EQ(o.rc, kOk);
  EXPECT_EQ(o.res.crc, 0xFFFFFFFFu);
  EXPECT_EQ(o.res.byte_count, 0);
  EXPECT_TRUE(io.out.empty());
  EXPECT_EQ(io.pumps, 0);
}

TEST(Rebuild, RefusesBlockSizeZeroAndHugeOldSizeBeforeAnyCommand) {
  for (uint32_t old_size : {10u, 0x80000000u}) {
    SCOPED_TRACE(old_size);
    ScriptedIo io;
    io.synth_old = true;
    io.stream[kCommandStream] = {0x02};
    io.stream[kSignStream] = {0x01};  // insert of 2 bytes
    SourceRecord rec =
        MakeRecord(old_size, 1, 0, old_size == 10 ? 0 : 20, io.stream);
    Outcome o = RunRebuild(&io, rec, 2);
    EXPECT_EQ(o.rc, kMsgBroken);
    EXPECT_EQ(io.pumps, 0);
    EXPECT_EQ(io.calls[kCommandStream], 0);
    EXPECT_TRUE(io.out.empty());
    EXPECT_EQ(o.res.crc, 0xFFFFFFFFu);
    EXPECT_EQ(o.res.byte_count, 0);
  }
}

// One packed number, coded by hand: its bytes and the bits it takes from the
// sign and flag streams, under a width bound.
struct NumberCase {
  int64_t value;
  int64_t width;
  Bytes cmd;
  const char* sign;
  const char* flag;
};

const NumberCase kNumbers[] = {
    {200, 255, {0xC8}, "0", ""},
    {-200, 255, {0xC8}, "1", ""},
    {255, 256, {0xFF}, "00", ""},
    {300, 65535, {0x2C, 0x01}, "10", ""},
    {-300, 70000, {0x2C, 0x01}, "11", "0"},
    {65543, 70000, {0x07, 0x00, 0x01}, "10", "1"},
    {0xFFFFFF, 0x1000000, {0xFF, 0xFF, 0xFF}, "10", "10"},
    {3, 0x40000000, {0x03}, "00", ""},
    {0x100, 0x40000000, {0x00, 0x01}, "10", "0"},
    {0x3000ABCD, 0x40000000, {0xCD, 0xAB, 0x00, 0x30}, "10", "11"},
    {-0x1000005, 0x40000000, {0x05, 0x00, 0x00, 0x01}, "11", "11"},
};

TEST(Rebuild, PackedNumbersEncode) {
  for (const NumberCase& c : kNumbers) {
    SCOPED_TRACE(c.value);
    Bytes cmd;
    BitWriter flag, sign;
    PackNumber(c.value, c.width, &cmd, &flag, &sign);
    EXPECT_EQ(cmd, c.cmd);
    EXPECT_EQ(sign.bytes, Bits(c.sign));
    EXPECT_EQ(flag.bytes, Bits(c.flag));
    EXPECT_EQ(sign.used, (int)strlen(c.sign));
    EXPECT_EQ(flag.used, (int)strlen(c.flag));
  }
}

// A positive value is read as the offset D of a one-byte copy (the first,
// so it is the copy position); a negative one as an insert, whose length
// is the output's. The width bound comes from the old size alone.
TEST(Rebuild, PackedNumbersDecode) {
  for (const NumberCase& c : kNumbers) {
    SCOPED_TRACE(c.value);
    ScriptedIo io;
    io.synth_old = true;
    std::string sign, flag = c.flag;
    if (c.value > 0) {
      // N = 1: one byte, no continuation, positive.
      io.stream[kCommandStream] = {0x01};
      sign = c.width > 255 ? "00" : "0";
      io.stream[kCommandStream].insert(io.stream[kCommandStream].end(),
                                       c.cmd.begin(), c.cmd.end());
      io.stream[kCommandStream].push_back(0x00);  // trailer length
    } else {
      io.stream[kCommandStream] = c.cmd;
      flag += std::string(70000, '1');  // raw pieces: cheap 16 MiB inserts
    }
    sign += c.sign;
    io.stream[kSignStream] = Bits(sign);
    io.stream[kFlagStream] = Bits(flag);
    SourceRecord rec =
        MakeRecord((uint32_t)c.width, 1, kSourceRawTrailers, 255, io.stream);
    // The output's own length: never above the old size here, so the bound
    // stays the old size.
    Outcome o = RunRebuild(&io, rec, c.value > 0 ? 1 : (int32_t)-c.value);
    EXPECT_EQ(o.rc, kOk);
    EXPECT_EQ(io.pumps, 1);
    if (c.value > 0) {
      ASSERT_EQ(io.old_reads.size(), 1u);
      EXPECT_EQ(io.old_reads[0].pos, c.value);
      EXPECT_EQ(io.out, Bytes{SynthOldByte(c.value)});
    } else {
      EXPECT_EQ((int64_t)io.out.size(), -c.value);
    }
  }
}

TEST(Rebuild, NegativeZeroIsASkip) {
  ScriptedIo io;
  io.old = Text("ABCDEFGHIJ");
  // skip (magnitude 0, sign 1); copy 2 at 3. The skip took the trailer
  // counter below 0, so the copy reads no trailer length.
  io.stream[kCommandStream] = {0x00, 0x02, 0x03};
  io.stream[kSignStream] = Bits("100");
  SourceRecord rec = MakeRecord(10, 5, 0, 20, io.stream);
  Outcome o = RunRebuild(&io, rec, 2);
  EXPECT_EQ(o.rc, kOk);
  EXPECT_EQ(io.out, Text("DE"));
  EXPECT_EQ(io.pumps, 2);
}

// Insert pieces: every piece but the last is one block; the last takes the
// remainder together with one block. Each added piece reads the old bytes
// at P + L + T + done, and each piece takes its own flag bit: the 1-byte raw
// insert that follows gets the bit after the last piece's.
TEST(Rebuild, InsertPieceSizes) {
  struct Case {
    uint8_t m;
    std::vector<int32_t> pieces;
  } cases[] = {
      {19, {19}}, {39, {39}}, {40, {20, 20}}, {75, {20, 20, 35}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((int)c.m);
    ScriptedIo io;
    io.synth_old = true;
    // copy 3 at 10 (P = 10, L = 3), T = 2 raw trailer, then the inserts.
    io.stream[kCommandStream] = {0x03, 0x0A, 0x02, c.m, 0x01};
    io.stream[kSignStream] = Bits("00" "1" "1");
    io.stream[kTrailerStream] = {0xAA, 0xBB};
    io.stream[kInsertStream] = Bytes(c.m + 1u, 0x01);
    io.stream[kFlagStream] = Bits(std::string(c.pieces.size(), '0') + "1");
    SourceRecord rec = MakeRecord(200, 1, kSourceRawTrailers, 20, io.stream);
    Outcome o = RunRebuild(&io, rec, 200);
    EXPECT_EQ(o.rc, kOk);
    std::vector<SpaceRequest> want = {{10, 3}};
    int32_t done = 0;
    for (int32_t n : c.pieces) {
      want.push_back({15 + done, n});
      done += n;
    }
    EXPECT_EQ(io.old_reads, want);
    ASSERT_EQ(io.out.size(), 3u + 2u + c.m + 1u);
    EXPECT_EQ(io.out[5], (uint8_t)(SynthOldByte(15) + 1));
    EXPECT_EQ(io.out.back(), 0x01);  // the raw byte
  }
}

// Every insert since the last copy starts again at the same old bytes.
TEST(Rebuild, InsertsShareTheirAlignment) {
  ScriptedIo io;
  io.old = Text("abcdefghij");
  // copy 2 at 1 (T = 0); insert 2 added; insert 3 added.
  io.stream[kCommandStream] = {0x02, 0x01, 0x00, 0x02, 0x03};
  io.stream[kSignStream] = Bits("0011");
  io.stream[kFlagStream] = Bits("00");
  io.stream[kInsertStream] = {1, 1, 2, 2, 2};
  SourceRecord rec = MakeRecord(10, 1, 0, 20, io.stream);
  Outcome o = RunRebuild(&io, rec, 7);
  EXPECT_EQ(o.rc, kOk);
  EXPECT_EQ(io.out, Text("bceffgh"));
}

// Trailer group size 3: the length byte stands after the first copy and after
// each full group of copies and skips; a skip moves the next read one copy
// earlier. Raw trailers, so each copy's trailer shows which length applied.
TEST(Rebuild, TrailerGroupsWithSkips) {
  ScriptedIo io;
  io.old = Text("ABCDEFGHIJ");
  io.stream[kCommandStream] = {
      0x01, 0x00, 0x01,  // copy A, T = 1
      0x01, 0x00,        // copy B
      0x01, 0x00,        // copy C (group full)
      0x01, 0x00, 0x02,  // copy D, T = 2
      0x00,              // skip
      0x01, 0x00,        // copy E (group full)
      0x01, 0x00, 0x00,  // copy F, T = 0
      0x01, 0x00,        // copy G
  };
  io.stream[kSignStream] = Bits(std::string(15, '0'));
  io.stream[kTrailerStream] = Text("abcddee");
  SourceRecord rec = MakeRecord(10, 3, kSourceRawTrailers, 20, io.stream);
  Outcome o = RunRebuild(&io, rec, 14);
  EXPECT_EQ(o.rc, kOk);
  EXPECT_EQ(io.out, Text("AaBbCcDddEeeFG"));
}

// A group size of 0, or a skip while the counter is 0, takes the counter
// below 0: no later copy reads a length, the one in force (0 if none) stays.
TEST(Rebuild, TrailerCounterBelowZeroStopsLengthReads) {
  struct Case {
    uint16_t group;
    Bytes cmd;
    const char* trailers;
    const char* want;
  } cases[] = {
      {0, {0x01, 0x00, 0x02, 0x01, 0x00, 0x01, 0x00}, "xxyyzz", "AxxByyCzz"},
      {3, {0x00, 0x01, 0x00, 0x01, 0x00}, "", "AB"},
      // copy (T = 1), skip, skip while the counter is 0, copy, copy
      {2, {0x01, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00},
       "pqr", "ApBqCr"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    ScriptedIo io;
    io.old = Text("ABCDEFGHIJ");
    io.stream[kCommandStream] = c.cmd;
    io.stream[kSignStream] = Bits(std::string(16, '0'));
    io.stream[kTrailerStream] = Text(c.trailers);
    SourceRecord rec =
        MakeRecord(10, c.group, kSourceRawTrailers, 20, io.stream);
    Outcome o = RunRebuild(&io, rec, 10);
    EXPECT_EQ(o.rc, kOk);
    EXPECT_EQ(io.out, Text(c.want));
  }
}

// Added trailers add the bytes just past the copied block; raw ones are
// written as stored. A trailer length of 0 reads nothing.
TEST(Rebuild, AddedAndRawTrailers) {
  for (bool raw : {false, true}) {
    SCOPED_TRACE(raw);
    ScriptedIo io;
    io.old = Text("0123456789");
    // copy 2 at 1, T = 3; copy 1 at 8 (D = 5); new group: copy 1, T = 0.
    io.stream[kCommandStream] = {0x02, 0x01, 0x03, 0x01, 0x05,
                                 0x01, 0x00, 0x00};
    io.stream[kSignStream] = Bits("000000");
    io.stream[kTrailerStream] = {0x01, 0x02, 0x03, 0x10, 0x10, 0x10,
                                 0x77};  // the last byte is never read
    SourceRecord rec =
        MakeRecord(10, 2, raw ? kSourceRawTrailers : 0, 20, io.stream);
    Outcome o = RunRebuild(&io, rec, 11);
    EXPECT_EQ(o.rc, kOk);
    Bytes want = raw ? Bytes{'1', '2', 1, 2, 3, '8', 0x10, 0x10, 0x10, '9'}
                     : Bytes{'1', '2', '4', '6', '8', '8', 'I', 0x10, 0x10,
                             '9'};
    // Past the old file the added bytes meet zeros.
    EXPECT_EQ(io.out, want);
  }
}

TEST(Rebuild, NegativeOffsets) {
  ScriptedIo io;
  io.old = Text("0123456789");
  // copy 4 at 4; copy 3 at 4 + 4 - 6 = 2; copy 2 at 2 + 3 - 5 = 0.
  io.stream[kCommandStream] = {0x04, 0x04, 0x00, 0x03, 0x06, 0x02, 0x05};
  io.stream[kSignStream] = Bits("00" "01" "01");
  SourceRecord rec = MakeRecord(10, 5, 0, 20, io.stream);
  Outcome o = RunRebuild(&io, rec, 9);
  EXPECT_EQ(o.rc, kOk);
  EXPECT_EQ(io.out, Text("456723401"));
}

// Positions from old size on address the output written so far, whatever the
// self-reference flag; it only widens the bound (here from 200 to 300, which
// brings a continuation bit into every number).
TEST(Rebuild, CopiesFromTheNewFile) {
  for (bool self_ref : {false, true}) {
    SCOPED_TRACE(self_ref);
    ScriptedIo io;
    io.old = Bytes(200, 'o');
    // insert "hello" raw; copy 3 at 201 ("ell"); insert "!" raw; copy 2 at
    // 207 ("l!"), D = 3 from P + L = 204.
    std::string c = self_ref ? "0" : "";
    io.stream[kCommandStream] = {0x05, 0x03, 0xC9, 0x00, 0x01, 0x02, 0x03};
    io.stream[kSignStream] =
        Bits(c + "1" + c + "0" + c + "0" + c + "1" + c + "0" + c + "0");
    io.stream[kFlagStream] = Bits("11");
    io.stream[kInsertStream] = Text("hello!");
    SourceRecord rec = MakeRecord(
        200, 9, self_ref ? kSourceSelfReference : 0, 20, io.stream);
    Outcome o = RunRebuild(&io, rec, 100);
    EXPECT_EQ(o.rc, kOk);
    EXPECT_EQ(io.out, Text("helloell!l!"));
    EXPECT_EQ(io.out_reads, (std::vector<SpaceRequest>{{1, 3}, {7, 2}}));
    EXPECT_TRUE(io.old_reads.empty());
  }
}

// A copy that reaches into the bytes it is producing repeats them, one byte
// of the copy after another, as an LZ77 match does, across pieces too.
TEST(Rebuild, OverlappingCopyRepeatsTheRun) {
  struct Case {
    const char* seed;
    int32_t back;  // copy starts this far before the end of the output
    int32_t len;
  } cases[] = {{"ab", 2, 7}, {"xyz", 3, 3000}, {"q", 1, 2500},
               {"abcdef", 4, 1030}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    ScriptedIo io;
    io.old = Text("0123456789");
    Bytes seed = Text(c.seed);
    int32_t pos = 10 + (int32_t)seed.size() - c.back;
    // insert the seed raw; copy len at pos.
    Bytes cmd;
    BitWriter flag, sign;
    PackNumber(-(int64_t)seed.size(), 5000, &cmd, &flag, &sign);
    flag.Put(true);
    PackNumber(c.len, 5000, &cmd, &flag, &sign);
    PackNumber(pos, 5000, &cmd, &flag, &sign);
    cmd.push_back(0);
    io.stream[kCommandStream] = cmd;
    io.stream[kFlagStream] = flag.bytes;
    io.stream[kSignStream] = sign.bytes;
    io.stream[kInsertStream] = seed;
    SourceRecord rec = MakeRecord(10, 1, 0, 20, io.stream);
    Outcome o = RunRebuild(&io, rec, 5000);
    EXPECT_EQ(o.rc, kOk);
    Bytes want = seed;
    for (int32_t k = 0; k < c.len; k++) want.push_back(want[pos - 10 + k]);
    EXPECT_EQ(io.out, want);
    EXPECT_EQ(o.res.crc, CrcOf(want));
  }
}

// Requests outside what exists read as zeros, never as whatever the buffer
// held (the scripted io scribbles over every byte it does not deliver).
TEST(Rebuild, OutOfRangeSourceReadsGiveZeros) {
  struct Case {
    const char* what;
    int32_t old_len;  // bytes the old file really has (record says 10)
    int32_t pos;      // of a copy after the raw insert "xyz"
    int32_t len;
    Bytes want;       // after "xyz"
  } cases[] = {
      {"before the old file", 10, -2, 4, {0, 0, '0', '1'}},
      {"wholly before", 10, -9, 3, {0, 0, 0}},
      {"past the old size", 10, 8, 4, {'8', '9', 0, 0}},
      {"old file shorter than its size", 7, 5, 4, {'5', '6', 0, 0}},
      {"at the end of the output", 10, 13, 4, {0, 0, 0, 0}},
      {"past the output", 10, 20, 2, {0, 0}},
      {"far past the output", 10, 0x7FFFFFF0, 2, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedIo io;
    io.old = Text("0123456789");
    io.old.resize((size_t)c.old_len);
    Bytes cmd;
    BitWriter flag, sign;
    const int64_t w = 0x7FFFFFFF;
    PackNumber(-3, w, &cmd, &flag, &sign);
    flag.Put(true);
    PackNumber(c.len, w, &cmd, &flag, &sign);
    PackNumber(c.pos, w, &cmd, &flag, &sign);
    cmd.push_back(0);
    io.stream[kCommandStream] = cmd;
    io.stream[kFlagStream] = flag.bytes;
    io.stream[kSignStream] = sign.bytes;
    io.stream[kInsertStream] = Text("xyz");
    SourceRecord rec = MakeRecord(10, 1, 0, 20, io.stream);
    Outcome o = RunRebuild(&io, rec, (int32_t)w - 10);
    EXPECT_EQ(o.rc, kOk);
    Bytes want = Text("xyz");
    want.insert(want.end(), c.want.begin(), c.want.end());
    EXPECT_EQ(io.out, want);
  }
}

// Streams that end early read as zeros; bits past the end are 0 (an added
// piece). The command stream's length bounds the loop even when more bytes
// follow, and a command that runs past it is finished first.
TEST(Rebuild, ShortStreamsReadAsZeros) {
  struct Case {
    const char* what;
    Bytes cmd;
    uint32_t cmd_len;
  } cases[] = {
      // insert 4; copy 2 at 1 whose trailer length lies past the stream.
      {"trailer length past the end", {0x04, 0x02, 0x01}, 3},
      // the same with T = 0 in the stream; a further copy lies beyond the
      // length the record gives and never runs.
      {"bytes past the length", {0x04, 0x02, 0x01, 0x00, 0x03, 0x00, 0x00}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedIo io;
    io.old = Text("0123456789");
    io.stream[kCommandStream] = c.cmd;
    io.stream[kSignStream] = Bits("100");
    io.stream[kInsertStream] = {0x05};  // 1 of 4 bytes; no flag bit at all
    SourceRecord rec = MakeRecord(10, 1, 0, 20, io.stream);
    rec.stream_len[kCommandStream] = c.cmd_len;
    Outcome o = RunRebuild(&io, rec, 6);
    EXPECT_EQ(o.rc, kOk);
    EXPECT_EQ(io.out, Bytes({'5', '1', '2', '3', '1', '2'}));
    EXPECT_EQ(io.pumps, 2);
  }
}

TEST(Rebuild, ChunkedStreamsReadTheSame) {
  TestDeltaOptions opt;
  opt.trailer_group_size = 2;
  opt.insert_block_size = 3;
  TestEncoder enc(Text("the quick brown fox jumps over the lazy dog"), opt);
  enc.Copy(4, 5, Text("!!"));
  enc.Insert(Text("slow and steady "), false);
  enc.Copy(10, 5, Text("??"));
  enc.Skip();
  enc.Copy(40, 3, Text("s."));
  EncodedDelta d = enc.Finish();
  for (int chunk : {1, 2, 7, 512}) {
    SCOPED_TRACE(chunk);
    ScriptedIo io;
    io.old = Text("the quick brown fox jumps over the lazy dog");
    for (int i = 0; i < kStreamCount; i++) io.stream[i] = d.stream[i];
    io.chunk = chunk;
    Outcome o = RunRebuild(&io, d.record, d.new_size);
    EXPECT_EQ(o.rc, kOk);
    EXPECT_EQ(io.out, Text("quick!!slow and steady brown??dogs."));
  }
}

// Every failing read or write, with the code it gives. The scripted io hands
// out one stream byte per call, so the k-th call of a stream is its k-th byte.
TEST(Rebuild, FailuresGiveTheirCodes) {
  struct Case {
    const char* what;
    int op;
    int call;
    MsgCode rc;
    int32_t count;  // bytes counted (the failing write's included), or -1
  } cases[] = {
      {"trailer length byte", kCommandStream, 3, kMsgBroken, 0},
      {"trailer bytes", kTrailerStream, 1, kMsgBroken, 2},
      {"insert bytes", kInsertStream, 1, kMsgBroken, 4},
      {"old bytes of a copy", kIoOld, 1, kMsgDiskFull, 0},
      {"old bytes of an added trailer", kIoOld, 2, kMsgBroken, 2},
      {"old bytes of an added piece", kIoOld, 3, kMsgBroken, 4},
      {"output bytes of a copy", kIoOutput, 1, kMsgDiskFull, 5},
      {"write of a copy", kIoAppend, 1, kMsgDiskFull, 2},
      {"write of a trailer", kIoAppend, 2, kMsgDiskFull, 4},
      {"write of an insert piece", kIoAppend, 3, kMsgDiskFull, 5},
      // Number bytes and bits are taken unchecked: a failed sign-stream
      // read gives 0 bits and the rebuild goes on, the insert now a copy,
      // until the last copy would take the output past its 9 bytes.
      {"sign bits", kSignStream, 1, kMsgBadChecksum, -1},
      // An io that gathers writes reports a failure when the loop ends.
      {"storing what was gathered", kIoFinish, 1, kMsgDiskFull, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedIo io;
    io.old = Text("0123456789");
    io.chunk = 1;
    // copy 2 at 0 with added trailer of 2; insert 1 added; copy 2 from the
    // output at 10 + 1 (the "12" just written), whose trailer (2 again)
    // finds the trailer stream used up: zeros added to "34".
    io.stream[kCommandStream] = {0x02, 0x00, 0x02, 0x01, 0x02, 0x09};
    io.stream[kSignStream] = Bits("00" "1" "00");
    io.stream[kTrailerStream] = {0x00, 0x00};
    io.stream[kInsertStream] = {0x00};
    io.stream[kFlagStream] = Bits("0");
    io.fail_at[c.op] = c.call;
    SourceRecord rec = MakeRecord(10, 5, 0, 20, io.stream);
    Outcome o = RunRebuild(&io, rec, 9);
    EXPECT_EQ(o.rc, c.rc);
    EXPECT_EQ(io.calls[kIoFinish], 1);  // whatever stopped the loop
    if (c.count < 0) continue;
    EXPECT_EQ(o.res.byte_count, c.count);
    // The register covers exactly the bytes counted, written or not.
    Bytes all = Text("012341234");
    all.resize((size_t)c.count);
    EXPECT_EQ(o.res.crc, CrcOf(all));
  }
}

// A write failure that an io reports late (when the loop ends) came before
// any failure that stopped the loop since, so it decides the result.
TEST(Rebuild, LateWriteFailureTakesPrecedence) {
  for (bool finish_fails : {false, true}) {
    SCOPED_TRACE(finish_fails);
    ScriptedIo io;
    io.old = Text("0123456789");
    io.stream[kCommandStream] = {0x03};  // insert 3
    io.stream[kSignStream] = Bits("1");
    io.fail_at[kInsertStream] = 1;
    io.fail_at[kIoFinish] = finish_fails ? 1 : 0;
    SourceRecord rec = MakeRecord(10, 1, 0, 20, io.stream);
    Outcome o = RunRebuild(&io, rec, 3);
    EXPECT_EQ(o.rc, finish_fails ? kMsgDiskFull : kMsgBroken);
  }
}

// An insert or copy that would take the output past 2^31 - 1 bytes stops
// before it writes anything.
TEST(Rebuild, RefusesOutputPastTwoGiB) {
  ScriptedIo io;
  io.synth_old = true;
  // insert of 2^31 bytes: magnitude 0x80000000, negative.
  io.stream[kCommandStream] = {0x00, 0x00, 0x00, 0x80};
  io.stream[kSignStream] = Bits("11");
  io.stream[kFlagStream] = Bits("11");
  SourceRecord rec = MakeRecord(0x7FFFFFFF, 1, 0, 255, io.stream);
  Outcome o = RunRebuild(&io, rec, 0);
  EXPECT_EQ(o.rc, kMsgBroken);
  EXPECT_EQ(o.res.byte_count, 0);
  EXPECT_EQ(io.calls[kIoAppend], 0);
}

// Random old files and new files assembled from copies (old bytes, earlier
// new bytes, overlapping runs), trailers and inserts; the encoder writes the
// streams, the rebuild must give back the new file.
TEST(Rebuild, RandomRoundTrips) {
  for (uint32_t seed = 1; seed <= 40; seed++) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&](int64_t lo, int64_t hi) {
      return (int64_t)std::uniform_int_distribution<int64_t>(lo, hi)(rng);
    };
    Bytes old((size_t)pick(1, seed % 4 == 0 ? 70000 : 3000));
    for (auto& b : old) b = (uint8_t)pick(0, 255);
    TestDeltaOptions opt;
    opt.trailer_group_size = (uint16_t)pick(0, 4);
    opt.insert_block_size = (uint8_t)pick(1, 255);
    opt.self_reference = pick(0, 1);
    opt.raw_trailers = pick(0, 1);
    TestEncoder enc(old, opt);
    Bytes want;
    int ops = (int)pick(1, 60);
    for (int i = 0; i < ops; i++) {
      int kind = (int)pick(0, 9);
      if (kind <= 4) {
        Bytes trailer((size_t)(enc.NextCopyStartsGroup() ? pick(0, 6)
                                                         : enc.TrailerLength()));
        for (auto& b : trailer) b = (uint8_t)pick(0, 255);
        // Without self-reference the width bound may be too small for the
        // offsets such copies need.
        bool from_new = opt.self_reference && !want.empty() && kind == 4;
        int64_t len = pick(1, 2500);
        int64_t pos;
        if (from_new) {
          int64_t k = pick(0, (int64_t)want.size() - 1);
          pos = (int64_t)old.size() + k;
          for (int64_t j = 0; j < len; j++) want.push_back(want[k + j]);
        } else {
          len = std::min<int64_t>(len, (int64_t)old.size());
          pos = pick(0, (int64_t)old.size() - len);
          want.insert(want.end(), old.begin() + pos, old.begin() + pos + len);
        }
        enc.Copy((int32_t)pos, (int32_t)len, trailer);
        want.insert(want.end(), trailer.begin(), trailer.end());
      } else if (kind <= 8) {
        Bytes ins((size_t)pick(1, 1200));
        for (auto& b : ins) b = (uint8_t)pick(0, 255);
        std::vector<bool> raw(enc.PieceCount((int64_t)ins.size()));
        for (size_t p = 0; p < raw.size(); p++) raw[p] = pick(0, 1);
        enc.InsertPieces(ins, raw);
        want.insert(want.end(), ins.begin(), ins.end());
      } else {
        enc.Skip();
      }
    }
    EncodedDelta d = enc.Finish();
    ASSERT_EQ(d.expected, want);
    ScriptedIo io;
    io.old = old;
    io.chunk = (int)pick(1, 600);
    for (int s = 0; s < kStreamCount; s++) io.stream[s] = d.stream[s];
    Outcome o = RunRebuild(&io, d.record, d.new_size);
    EXPECT_EQ(o.rc, kOk);
    EXPECT_EQ(io.out, want);
    EXPECT_EQ(o.res.crc, CrcOf(want));
    EXPECT_EQ(o.res.byte_count, (int32_t)want.size());
    EXPECT_EQ(io.pumps, ops);
  }
}

}  // namespace
