// The rebuild over real files through the platform table, as the staging
// pass runs it: temporary files for the old file, the output and the five
// streams; failures injected through the fault-injecting table.
#include <random>

#include <gtest/gtest.h>

#include "delta/rebuild.h"
#include "delta/rebuild_io_double.h"
#include "support/fault_platform.h"

namespace {

Bytes Text(const char* s) { return Bytes(s, s + strlen(s)); }

PlatformFile TempWith(const Platform* os, const Bytes& b) {
  PlatformFile f = os->create_temp_file();
  EXPECT_NE(f, nullptr);
  if (!f) return f;
  int32_t done = 0;
  if (!b.empty()) {
    EXPECT_TRUE(os->write(f, b.data(), (int32_t)b.size(), &done));
    EXPECT_EQ(done, (int32_t)b.size());
  }
  os->seek(f, 0);
  return f;
}

Bytes ReadAll(const Platform* os, PlatformFile f) {
  uint32_t size = os->file_size(f);
  Bytes b(size);
  os->seek(f, 0);
  int32_t done = 0;
  if (size) {
    EXPECT_TRUE(os->read(f, b.data(), (int32_t)size, &done));
  }
  b.resize((size_t)done);
  return b;
}

// The seven files of one rebuild, made through the base table and closed
// (so deleted) at the end.
struct RebuildFiles7 {
  const Platform* os;
  PlatformFile old_file, output, stream[kStreamCount];

  RebuildFiles7(const Platform* base, const Bytes& old,
                const Bytes streams[kStreamCount])
      : os(base) {
    old_file = TempWith(os, old);
    output = TempWith(os, Bytes());
    for (int i = 0; i < kStreamCount; i++) stream[i] = TempWith(os, streams[i]);
  }
  // Rewinds the inputs and puts a new empty output in place, for another
  // run over the same files.
  void Fresh() {
    os->seek(old_file, 0);
    for (int i = 0; i < kStreamCount; i++) os->seek(stream[i], 0);
    os->close(output);
    output = TempWith(os, Bytes());
  }
  ~RebuildFiles7() {
    os->close(old_file);
    os->close(output);
    for (int i = 0; i < kStreamCount; i++) os->close(stream[i]);
  }
  MsgCode Run(const Platform* with, const SourceRecord& rec, int32_t new_size,
              RebuildResult* res, int* pumps = nullptr) {
    void (*count)(void*) = [](void* c) { ++*(int*)c; };
    return RebuildFiles(with, &rec, new_size, old_file, output, stream,
                        pumps ? count : nullptr, pumps, res);
  }
};

TEST(RebuildFile, WorkedExample) {
  const Platform* os = PlatformNative();
  Bytes streams[kStreamCount];
  streams[kCommandStream] = {0x04, 0x00, 0x00, 0x02, 0x04, 0x02, 0x01};
  streams[kFlagStream] = {0x02};
  streams[kSignStream] = {0x24};
  streams[kInsertStream] = {0x24, 0x24, 0x21};
  RebuildFiles7 files(os, Text("0123456789"), streams);
  SourceRecord rec = MakeRecord(10, 190, 0, 20, streams);
  RebuildResult res;
  int pumps = 0;
  EXPECT_EQ(files.Run(os, rec, 11, &res, &pumps), kOk);
  const Bytes want = Text("0123XY6789!");
  EXPECT_EQ(ReadAll(os, files.output), want);
  EXPECT_EQ(res.crc, CrcOf(want));
  EXPECT_EQ(res.byte_count, 11);
  EXPECT_EQ(pumps, 4);
}

// Larger random deltas with copies from the output interleaved with
// appends: every read-back must leave the output positioned at its end.
// The maker's in-memory form of the rebuild over the same streams.
MsgCode RebuildBytes(const EncodedDelta& d, int32_t new_size, const Bytes& old,
                     Bytes* out, RebuildResult* r) {
  MemRebuild m;
  Bytes all = d.Streams();
  MsgCode rc = RebuildInMemory(&d.record, new_size, old.data(),
                               (int32_t)old.size(), all.data(),
                               (int32_t)all.size(), &m, r);
  out->assign(m.out, m.out + m.out_len);
  MemRebuildFree(&m);
  return rc;
}

EncodedDelta RandomDelta(uint32_t seed, int ops, Bytes* old) {
  std::mt19937 rng(seed);
  auto pick = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  old->resize((size_t)pick(ops * 20, ops * 500));
  for (auto& b : *old) b = (uint8_t)pick(0, 255);
  TestDeltaOptions opt;
  opt.trailer_group_size = (uint16_t)pick(1, 3);
  opt.insert_block_size = (uint8_t)pick(1, 255);
  opt.self_reference = true;
  opt.raw_trailers = pick(0, 1);
  TestEncoder enc(*old, opt);
  for (int i = 0; i < ops; i++) {
    int kind = (int)pick(0, 5);
    Bytes trailer((size_t)(enc.NextCopyStartsGroup() ? pick(0, 4)
                                                     : enc.TrailerLength()));
    for (auto& b : trailer) b = (uint8_t)pick(0, 255);
    int64_t out = (int64_t)enc.output().size();
    if (kind <= 2) {
      int64_t len = pick(1, 3000);
      enc.Copy((int32_t)pick(0, (int64_t)old->size() - 1), (int32_t)len,
               trailer);
    } else if (kind == 3 && out > 0) {
      enc.Copy((int32_t)((int64_t)old->size() + pick(0, out - 1)),
               (int32_t)pick(1, 3000), trailer);
    } else {
      Bytes ins((size_t)pick(1, 700));
      for (auto& b : ins) b = (uint8_t)pick(0, 255);
      enc.Insert(ins, pick(0, 1) == 1);
    }
  }
  return enc.Finish();
}

TEST(RebuildFile, RandomRoundTrips) {
  const Platform* os = PlatformNative();
  for (uint32_t seed = 1; seed <= 4; seed++) {
    SCOPED_TRACE(seed);
    Bytes old;
    EncodedDelta d = RandomDelta(seed, 300, &old);
    RebuildFiles7 files(os, old, d.stream);
    RebuildResult res;
    EXPECT_EQ(files.Run(os, d.record, d.new_size, &res), kOk);
    EXPECT_EQ(ReadAll(os, files.output), d.expected);
    EXPECT_EQ(res.crc, d.new_checksum);
    EXPECT_EQ(res.byte_count, d.new_size);

    // The maker's form gives the same bytes from the same streams.
    Bytes mout;
    RebuildResult mres;
    EXPECT_EQ(RebuildBytes(d, d.new_size, old, &mout, &mres), kOk);
    EXPECT_EQ(mout, d.expected);
    EXPECT_EQ(mres.crc, res.crc);
    EXPECT_EQ(mres.byte_count, res.byte_count);
  }
}

// Deltas that ask for more than the expected size: a damaged or hostile
// delta repeating inserts or copies could otherwise write gigabytes into the
// staging folder before the final comparison rejects the file. The command
// that would pass new_size stops the rebuild with 12 before writing any of
// its bytes, in both forms; the file on disk never holds more than new_size.
struct OverrunCase {
  const char* what;
  int32_t new_size;
  MsgCode rc;
  int32_t kept;  // output bytes when the rebuild stops
  EncodedDelta (*make)(int32_t new_size, Bytes* old);
};

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 7 + i / 251);
  return b;
}

EncodedDelta InsertLoop(int32_t new_size, Bytes* old) {
  *old = Pattern(300);
  TestEncoder enc(*old);
  for (int i = 0; i < 40; i++) enc.Insert(Pattern(300), i % 2 == 0);
  return enc.Finish(new_size);
}

EncodedDelta CopyLoop(int32_t new_size, Bytes* old) {
  *old = Pattern(5000);
  TestEncoder enc(*old, {/*group*/ 1, /*block*/ 20});
  for (int i = 0; i < 40; i++) enc.Copy(0, 4000, {1, 2});
  return enc.Finish(new_size);
}

// One LZ77 run from a single byte: a few command bytes for megabytes.
EncodedDelta SelfCopyRun(int32_t new_size, Bytes* old) {
  *old = Pattern(70000);
  TestDeltaOptions opt;
  opt.self_reference = true;
  TestEncoder enc(*old, opt);
  enc.Insert({'x'});
  enc.Copy(70000, 8 << 20);
  return enc.Finish(new_size);
}

// Every copy repeats the whole output so far.
EncodedDelta SelfCopyDoubling(int32_t new_size, Bytes* old) {
  *old = Pattern(70000);
  TestDeltaOptions opt;
  opt.self_reference = true;
  TestEncoder enc(*old, opt);
  enc.Insert(Pattern(16));
  for (int32_t have = 16; have < (1 << 20); have *= 2) enc.Copy(70000, have);
  return enc.Finish(new_size);
}

// A copy that fits, with a trailer that does not.
EncodedDelta CopyThenTrailer(int32_t new_size, Bytes* old) {
  *old = Pattern(100);
  TestEncoder enc(*old);
  enc.Copy(10, 10, {1, 2, 3});
  return enc.Finish(new_size);
}

EncodedDelta OneInsert(int32_t new_size, Bytes* old) {
  *old = Pattern(100);
  TestEncoder enc(*old);
  enc.Insert(Pattern(101));
  return enc.Finish(new_size);
}

TEST(RebuildFile, OutputNeverPassesTheExpectedSize) {
  const OverrunCase cases[] = {
      {"insert loop", 1000, kMsgBadChecksum, 900, InsertLoop},
      {"copy loop with trailers", 10000, kMsgBadChecksum, 8004, CopyLoop},
      {"self-copy run", 4096, kMsgBadChecksum, 1, SelfCopyRun},
      {"self-copy doubling", 5000, kMsgBadChecksum, 4096, SelfCopyDoubling},
      {"trailer past the size", 12, kMsgBadChecksum, 0, CopyThenTrailer},
      {"trailer up to the size", 13, kOk, 13, CopyThenTrailer},
      {"one byte over", 100, kMsgBadChecksum, 0, OneInsert},
      {"exactly the size", 101, kOk, 101, OneInsert},
      // A size outside the format leaves room for nothing.
      {"negative size", -1, kMsgBadChecksum, 0, OneInsert},
  };
  const Platform* os = PlatformNative();
  for (const OverrunCase& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes old;
    EncodedDelta d = c.make(c.new_size, &old);
    ASSERT_LE(c.kept, (int32_t)d.expected.size());
    const Bytes want(d.expected.begin(), d.expected.begin() + c.kept);

    RebuildFiles7 files(os, old, d.stream);
    RebuildResult res;
    EXPECT_EQ(files.Run(os, d.record, c.new_size, &res), c.rc);
    EXPECT_EQ(os->file_size(files.output), (uint32_t)c.kept);
    EXPECT_EQ(ReadAll(os, files.output), want);
    EXPECT_EQ(res.byte_count, c.kept);
    EXPECT_EQ(res.crc, CrcOf(want));

    Bytes mout;
    RebuildResult mres;
    EXPECT_EQ(RebuildBytes(d, c.new_size, old, &mout, &mres), c.rc);
    EXPECT_EQ(mout, want);
    EXPECT_EQ(mres.byte_count, c.kept);
  }
}

// A raw insert of 1100 bytes (pieces of 255, 255, 255 and 335), then a
// 3-byte copy of the output's first bytes. Reads: command (1), sign (2),
// insert (3: 1024 bytes), flag (4), insert (5: the rest), the read-back of
// the output (6). Writes: the first three pieces, gathered, when the fourth
// does not fit (1); the rest when the rebuild ends (2). Seeks: to the
// read-back (1), back to the end (2).
struct InjectCase {
  const char* what;
  FaultOp op;
  int call;
  MsgCode rc;
};

TEST(RebuildFile, InjectedFailures) {
  Bytes streams[kStreamCount];
  streams[kCommandStream] = {0x4C, 0x04, 0x03, 0x0A, 0x00};
  streams[kSignStream] = Bits("11" "00" "00");
  streams[kFlagStream] = Bits("1111");
  for (int i = 0; i < 1100; i++) streams[kInsertStream].push_back((uint8_t)i);
  SourceRecord rec = MakeRecord(10, 1, kSourceSelfReference, 255, streams);
  Bytes want = streams[kInsertStream];
  want.insert(want.end(), {0, 1, 2});

  const InjectCase cases[] = {
      {"no failure", kFaultRead, 0, kOk},
      {"first insert stream read", kFaultRead, 3, kMsgBroken},
      {"second insert stream read", kFaultRead, 5, kMsgBroken},
      {"output read-back", kFaultRead, 6, kMsgDiskFull},
      {"seek for the read-back", kFaultSeek, 1, kMsgDiskFull},
      {"seek back to the end", kFaultSeek, 2, kMsgDiskFull},
      {"write of the gathered pieces", kFaultWrite, 1, kMsgDiskFull},
      {"write when the rebuild ends", kFaultWrite, 2, kMsgDiskFull},
  };
  for (const InjectCase& c : cases) {
    SCOPED_TRACE(c.what);
    FaultPlatform fault;
    RebuildFiles7 files(fault.base(), Text("0123456789"), streams);
    fault.Reset();
    if (c.call) fault.FailCall(c.op, c.call);
    RebuildResult res;
    EXPECT_EQ(files.Run(fault.os(), rec, 1103, &res), c.rc);
    EXPECT_EQ(fault.Failures(), c.call ? 1 : 0);
    if (c.rc != kOk) continue;
    EXPECT_EQ(ReadAll(fault.base(), files.output), want);
    EXPECT_EQ(fault.Calls(kFaultRead), 6);
    EXPECT_EQ(fault.Calls(kFaultWrite), 2);
    EXPECT_EQ(fault.Calls(kFaultSeek), 2);
  }

  // A full disk under the gathered first pieces and a failing read of the
  // fourth piece: written at once, the pieces would have failed first.
  FaultPlatform fault;
  RebuildFiles7 files(fault.base(), Text("0123456789"), streams);
  fault.Reset();
  fault.LimitWrites(0);
  fault.FailCall(kFaultRead, 5);
  RebuildResult res;
  EXPECT_EQ(files.Run(fault.os(), rec, 1103, &res), kMsgDiskFull);
}

// A disk that fills up: the write that crosses the limit stores part of its
// bytes and fails.
TEST(RebuildFile, DiskFull) {
  Bytes old;
  EncodedDelta d = RandomDelta(7, 100, &old);
  FaultPlatform fault;
  RebuildFiles7 files(fault.base(), old, d.stream);
  fault.Reset();
  fault.LimitWrites(d.new_size / 2);
  RebuildResult res;
  EXPECT_EQ(files.Run(fault.os(), d.record, d.new_size, &res), kMsgDiskFull);
  EXPECT_LT(res.byte_count, d.new_size);
}

// A write that reports success but stores fewer bytes than asked must not
// pass: the register already holds the bytes the file lacks.
const Platform* g_base;
bool ShortWrite(PlatformFile f, const void* buf, int32_t n, int32_t* done) {
  return g_base->write(f, buf, n > 1 ? n - 1 : n, done);
}

TEST(RebuildFile, ShortWriteIsAFailure) {
  g_base = PlatformNative();
  Platform shorted = *g_base;
  shorted.write = ShortWrite;
  Bytes streams[kStreamCount];
  streams[kCommandStream] = {0x04, 0x00, 0x00};
  RebuildFiles7 files(g_base, Text("0123456789"), streams);
  SourceRecord rec = MakeRecord(10, 1, 0, 20, streams);
  RebuildResult res;
  EXPECT_EQ(files.Run(&shorted, rec, 4, &res), kMsgDiskFull);
}

// Whatever fails, a rebuild that reports success has an output whose bytes
// are exactly the ones its register and count describe; no output holds more
// than the expected size; and no failure crashes or hangs. Every file
// operation and every seek of a random rebuild is failed in turn.
TEST(RebuildFile, EveryFailedOperation) {
  Bytes old;
  EncodedDelta d = RandomDelta(11, 25, &old);
  const Platform* base = PlatformNative();
  FaultPlatform fault;
  RebuildFiles7 files(fault.base(), old, d.stream);
  fault.Reset();
  RebuildResult clean;
  ASSERT_EQ(files.Run(fault.os(), d.record, d.new_size, &clean), kOk);
  const int ops = fault.Calls(kFaultAnyFileOp);
  const int seeks = fault.Calls(kFaultSeek);
  ASSERT_GT(ops, 10);
  for (int i = 0; i < ops + seeks; i++) {
    bool seek = i >= ops;
    int k = seek ? i - ops + 1 : i + 1;
    SCOPED_TRACE(testing::Message() << (seek ? "seek " : "file op ") << k);
    files.Fresh();
    fault.Reset();
    fault.FailCall(seek ? kFaultSeek : kFaultAnyFileOp, k);
    RebuildResult res;
    MsgCode rc = files.Run(fault.os(), d.record, d.new_size, &res);
    // A failed stream read hands on zeros, which may turn later commands
    // into ones that would pass the expected size (12).
    EXPECT_TRUE(rc == kOk || rc == kMsgBroken || rc == kMsgDiskFull ||
                rc == kMsgBadChecksum)
        << rc;
    Bytes got = ReadAll(base, files.output);
    EXPECT_LE((int32_t)got.size(), d.new_size);
    if (rc != kOk) continue;
    EXPECT_EQ((int32_t)got.size(), res.byte_count);
    EXPECT_EQ(CrcOf(got), res.crc);
  }
}

}  // namespace
