// The delta encoder against the applier's own rebuild: every layout of every
// kind of change must give back the new file byte for byte.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "delta/crc32.h"
#include "delta/rebuild.h"
#include "maker/delta_encoder.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// A small deterministic generator, so failures repeat.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return (uint32_t)(s >> 11);
  }
  Bytes Fill(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = (uint8_t)Next();
    return b;
  }
};

// Something like machine code: a few hundred kinds of "instruction" with
// 32-bit operands, so that moving it changes operands by a constant.
Bytes CodeLike(size_t n, uint64_t seed) {
  Rng r(seed);
  Bytes b;
  while (b.size() < n) {
    uint32_t op = r.Next() % 7;
    b.push_back((uint8_t)(0xE0 + op));
    uint32_t operand = 0x1000 + r.Next() % 0x4000;
    for (int k = 0; k < 4; k++) b.push_back((uint8_t)(operand >> (8 * k)));
    for (uint32_t k = r.Next() % 6; k > 0; k--) b.push_back((uint8_t)(k * 3));
  }
  b.resize(n);
  return b;
}

// What the code looks like after a function in the middle grew: the bytes
// after `at` move by `grow`, and every operand that points across `at`
// changes by `grow`.
Bytes Relinked(const Bytes& old, size_t at, size_t grow, uint64_t seed) {
  Rng r(seed);
  Bytes b(old.begin(), old.begin() + at);
  Bytes extra = r.Fill(grow);
  b.insert(b.end(), extra.begin(), extra.end());
  b.insert(b.end(), old.begin() + at, old.end());
  for (size_t i = 0; i + 5 <= b.size(); i++)
    if (b[i] >= 0xE0 && b[i] <= 0xE6 && (i < at) == (b[i] & 1))
      b[i + 1] = (uint8_t)(b[i + 1] + grow);
  return b;
}

struct Pair {
  const char* what;
  Bytes old_data, new_data;
};

std::vector<Pair> Pairs() {
  Rng r(7);
  std::vector<Pair> v;
  Bytes base = r.Fill(20000);
  v.push_back({"both empty", {}, {}});
  v.push_back({"from empty", {}, r.Fill(3000)});
  v.push_back({"to empty", r.Fill(3000), {}});
  v.push_back({"one byte each", {0x41}, {0x42}});
  v.push_back({"identical", base, base});
  {
    Bytes n = base;
    for (size_t i = 100; i < n.size(); i += 97) n[i] ^= 0x5A;
    v.push_back({"scattered byte changes", base, n});
  }
  {
    Bytes n = base;
    Bytes ins = r.Fill(1500);
    n.insert(n.begin() + 7000, ins.begin(), ins.end());
    n.erase(n.begin() + 15000, n.begin() + 16000);
    v.push_back({"insertion and deletion", base, n});
  }
  {
    // Blocks reordered: copies backwards and forwards in the old file.
    Bytes n;
    for (int blk : {3, 0, 4, 1, 2})
      n.insert(n.end(), base.begin() + blk * 4000,
               base.begin() + blk * 4000 + 4000);
    v.push_back({"blocks reordered", base, n});
  }
  {
    // New bytes repeated far apart inside the new file only.
    Bytes fresh = r.Fill(3000);
    Bytes n(base.begin(), base.begin() + 5000);
    n.insert(n.end(), fresh.begin(), fresh.end());
    n.insert(n.end(), base.begin() + 5000, base.end());
    n.insert(n.end(), fresh.begin(), fresh.end());
    v.push_back({"new bytes repeated", base, n});
  }
  {
    Bytes code = CodeLike(60000, 3);
    v.push_back({"code relinked", code, Relinked(code, 31000, 0x30, 4)});
  }
  {
    Bytes n = base;
    Bytes tail = r.Fill(200);
    n.insert(n.end(), tail.begin(), tail.end());
    v.push_back({"appended at the end", base, n});
  }
  v.push_back({"runs of one byte", Bytes(5000, 0), Bytes(7000, 0)});
  return v;
}

// Rebuilds with the applier's rebuild; the output, or a failure.
::testing::AssertionResult Rebuilds(const maker::EncodedDelta& d,
                                    const Bytes& old_data,
                                    const Bytes& new_data) {
  Bytes streams = maker::JoinStreams(d);
  MemRebuild m;
  RebuildResult rr;
  MsgCode code = RebuildInMemory(
      &d.record, (int32_t)new_data.size(), old_data.data(),
      (int32_t)old_data.size(), streams.data(), (int32_t)streams.size(), &m,
      &rr);
  Bytes out(m.out, m.out + m.out_len);
  MemRebuildFree(&m);
  if (code != 0)
    return ::testing::AssertionFailure() << "rebuild code " << code;
  if (out != new_data) {
    size_t i = 0;
    while (i < out.size() && i < new_data.size() && out[i] == new_data[i]) i++;
    return ::testing::AssertionFailure()
           << "output of " << out.size() << " bytes differs from the "
           << new_data.size() << "-byte new file at byte " << i;
  }
  if (rr.crc != CrcUpdate(new_data.data(), (int32_t)new_data.size(),
                          kCrcPreset))
    return ::testing::AssertionFailure() << "CRC register differs";
  return ::testing::AssertionSuccess();
}

maker::EncodedDelta Encode(const Pair& p, const maker::DeltaLayout& l,
                           const maker::DeltaOptions& o = {}) {
  return maker::EncodeDeltaWithLayout(
      p.old_data.data(), (uint32_t)p.old_data.size(), p.new_data.data(),
      (uint32_t)p.new_data.size(), l, o);
}

std::vector<maker::DeltaLayout> Layouts() {
  std::vector<maker::DeltaLayout> ls;
  for (int t : {0, 1, 2, 5, 255})
    for (int mc : {1, 4, 32}) {
      maker::DeltaLayout l;
      l.trailer_len = t;
      l.min_copy = mc;
      ls.push_back(l);
    }
  for (int blk : {1, 2, 37, 255}) {
    maker::DeltaLayout l;
    l.trailer_mode = 1;
    l.block = blk;
    ls.push_back(l);
    maker::DeltaLayout runs;
    runs.block = blk;
    runs.trailer_len = 3;
    runs.min_copy = 1000;
    runs.tidy = true;
    ls.push_back(runs);
  }
  return ls;
}

TEST(DeltaEncoder, EveryLayoutRebuildsEveryKindOfChange) {
  for (const Pair& p : Pairs()) {
    for (const maker::DeltaLayout& l : Layouts()) {
      for (bool self : {true, false}) {
        maker::DeltaOptions o;
        o.self_reference = self;
        o.search_level = 1;
        maker::EncodedDelta d = Encode(p, l, o);
        EXPECT_TRUE(Rebuilds(d, p.old_data, p.new_data))
            << p.what << ": mode " << l.trailer_mode << " T " << l.trailer_len
            << " min copy " << l.min_copy << " block " << l.block
            << (self ? " self" : "");
        // What the record says is what the streams are.
        for (int i = 0; i < kStreamCount; i++)
          EXPECT_EQ(d.record.stream_len[i], d.streams[i].size());
        EXPECT_EQ(d.record.old_size, p.old_data.size());
        EXPECT_EQ(d.record.insert_block_size, l.block);
        EXPECT_EQ(d.record.trailer_group_size, l.trailer_mode == 0 ? 0 : 1);
      }
    }
  }
}

TEST(DeltaEncoder, SearchPicksARebuildingLayoutAndIsDeterministic) {
  for (const Pair& p : Pairs()) {
    for (int effort : {0, 1, 2}) {
      maker::DeltaOptions o;
      o.effort = effort;
      maker::EncodedDelta a = maker::EncodeDelta(
          p.old_data.data(), (uint32_t)p.old_data.size(), p.new_data.data(),
          (uint32_t)p.new_data.size(), o);
      EXPECT_TRUE(Rebuilds(a, p.old_data, p.new_data))
          << p.what << " effort " << effort;
      maker::EncodedDelta b = maker::EncodeDelta(
          p.old_data.data(), (uint32_t)p.old_data.size(), p.new_data.data(),
          (uint32_t)p.new_data.size(), o);
      EXPECT_EQ(maker::JoinStreams(a), maker::JoinStreams(b)) << p.what;
    }
  }
}

TEST(DeltaEncoder, SmallChangesMakeSmallDeltas) {
  // Not a size target: a guard against the encoder falling back to storing
  // the new file when it plainly need not.
  Rng r(11);
  Bytes old_data = r.Fill(100000);
  Bytes new_data = old_data;
  for (size_t i = 5000; i < new_data.size(); i += 5000) new_data[i]++;
  maker::EncodedDelta d = maker::EncodeDelta(
      old_data.data(), (uint32_t)old_data.size(), new_data.data(),
      (uint32_t)new_data.size(), maker::DeltaOptions());
  EXPECT_TRUE(Rebuilds(d, old_data, new_data));
  EXPECT_LT(d.judged_size, 1000u);
}

// Numbers of one byte, two, three and four: the width bound follows the
// sizes, and a position in the new file's own bytes that the plain bound
// cannot hold sets the self-reference flag.
TEST(DeltaEncoder, NumberWidthsFollowTheSizes) {
  Rng r(5);
  {
    // Both files under 256 bytes: one byte and one sign bit per number.
    Bytes o = r.Fill(200), n = o;
    n[50] ^= 1;
    n[150] ^= 1;
    maker::DeltaLayout l;
    l.trailer_len = 1;
    maker::EncodedDelta d = Encode({"", o, n}, l);
    EXPECT_TRUE(Rebuilds(d, o, n));
    EXPECT_EQ(d.record.flags & kSourceSelfReference, 0);
    // Every command byte but the trailer length is a number: one sign bit
    // each, no continuation bits.
    size_t numbers = d.streams[kCommandStream].size() - 1;
    EXPECT_EQ(d.streams[kSignStream].size(), (numbers + 7) / 8);
  }
  {
    // Old file of 65535 bytes (two-byte numbers) and a new file that
    // repeats its own bytes: the copy position old size + 10 needs three
    // bytes, so the wider bound must be in force.
    Bytes o = r.Fill(65535);
    Bytes fresh = r.Fill(400);
    Bytes n(fresh);
    n.insert(n.end(), fresh.begin() + 10, fresh.end());
    maker::DeltaLayout l;
    maker::EncodedDelta d = Encode({"", o, n}, l);
    EXPECT_TRUE(Rebuilds(d, o, n));
    EXPECT_EQ(d.record.flags & kSourceSelfReference, kSourceSelfReference);
    // Without self-reference no copy reaches past the old file.
    maker::DeltaOptions plain;
    plain.self_reference = false;
    maker::EncodedDelta p = Encode({"", o, n}, l, plain);
    EXPECT_TRUE(Rebuilds(p, o, n));
    EXPECT_EQ(p.record.flags & kSourceSelfReference, 0);
  }
}

TEST(DeltaEncoder, FourByteNumbersOverSixteenMebibytes) {
  // A block moved from the far end of a 17 MiB file to its start: the first
  // copy is 17.5 million bytes into the old file, an offset of four bytes.
  Rng r(9);
  Bytes o = r.Fill((17u << 20) + 123);
  Bytes n(o.end() - 300000, o.end());
  n.insert(n.end(), o.begin(), o.end() - 300000);
  n[12345] ^= 0xFF;
  maker::DeltaOptions opt;
  opt.effort = 0;
  opt.search_level = 1;
  maker::EncodedDelta d =
      maker::EncodeDelta(o.data(), (uint32_t)o.size(), n.data(),
                         (uint32_t)n.size(), opt);
  EXPECT_TRUE(Rebuilds(d, o, n));
}

// Bytes in the old file's CRC hole may be anything on the user's machine;
// nothing outside them may depend on them, so the rebuild from an old file
// with other bytes in its hole still gives the new file.
TEST(DeltaEncoder, NothingIsMadeFromTheOldHole) {
  Rng r(3);
  Bytes o = CodeLike(40000, 8);
  Bytes n = Relinked(o, 20000, 0x20, 9);
  // A serial number in the old file, also copied into the new one.
  for (size_t k = 0; k < 64; k++) o[1000 + k] = (uint8_t)(k * 5);
  for (size_t k = 0; k < 64; k++) n[1000 + k] = (uint8_t)(k * 5);
  for (int effort : {0, 1}) {
    maker::DeltaOptions opt;
    opt.effort = effort;
    opt.old_hole_offset = 1000;
    opt.old_hole_length = 64;
    maker::EncodedDelta d = maker::EncodeDelta(
        o.data(), (uint32_t)o.size(), n.data(), (uint32_t)n.size(), opt);
    EXPECT_TRUE(Rebuilds(d, o, n));
    Bytes theirs = o;
    for (size_t k = 0; k < 64; k++) theirs[1000 + k] = (uint8_t)r.Next();
    EXPECT_TRUE(Rebuilds(d, theirs, n)) << "effort " << effort;
  }
}

}  // namespace
