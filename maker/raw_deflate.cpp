#include "maker/raw_deflate.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <stdexcept>

#include <algorithm>
#include <atomic>
#include <thread>

extern "C" {
#include <zopfli/deflate.h>
#include <zopfli/lz77.h>
#include <zopfli/tree.h>
#include <zopfli/zopfli.h>
// In the library, though its header does not declare it.
void OptimizeHuffmanForRle(int length, size_t* counts);
}

namespace maker {

namespace {

// Runs deflate over the input, handing each filled output chunk to sink.
template <typename Sink>
void RunDeflate(const uint8_t* data, size_t size, int level, Sink sink) {
  z_stream z;
  memset(&z, 0, sizeof z);
  // memLevel 6 measured best on the corpus of 1..9: its blocks are short
  // enough to follow the streams' changing statistics.
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 6, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  uint8_t out[1 << 16];
  size_t left = size;
  const uint8_t* in = data;
  int flush = Z_NO_FLUSH;
  for (;;) {
    if (z.avail_in == 0 && flush == Z_NO_FLUSH) {
      uInt chunk = left > (1u << 30) ? (1u << 30) : (uInt)left;
      z.next_in = const_cast<Bytef*>(in);
      z.avail_in = chunk;
      in += chunk;
      left -= chunk;
      if (left == 0) flush = Z_FINISH;
    }
    z.next_out = out;
    z.avail_out = sizeof out;
    int r = deflate(&z, flush);
    if (r == Z_STREAM_ERROR) {
      deflateEnd(&z);
      throw std::runtime_error("deflate failed");
    }
    sink(out, sizeof out - z.avail_out);
    if (r == Z_STREAM_END) break;
  }
  deflateEnd(&z);
}

}  // namespace

std::vector<uint8_t> DeflateZlib(const uint8_t* data, size_t size, int level) {
  std::vector<uint8_t> result;
  RunDeflate(data, size, level, [&](const uint8_t* p, size_t n) {
    result.insert(result.end(), p, p + n);
  });
  return result;
}

size_t RawDeflatedSize(const uint8_t* data, size_t size, int level) {
  size_t total = 0;
  RunDeflate(data, size, level, [&](const uint8_t*, size_t n) { total += n; });
  return total;
}

std::vector<uint8_t> DeflateZopfli(const uint8_t* data, size_t size,
                                   int iterations) {
  ZopfliOptions o;
  ZopfliInitOptions(&o);
  o.numiterations = iterations < 1 ? 1 : iterations;
  unsigned char* out = nullptr;
  size_t out_size = 0;
  ZopfliCompress(&o, ZOPFLI_FORMAT_DEFLATE, data, size, &out, &out_size);
  std::vector<uint8_t> result(out, out + out_size);
  free(out);
  return result;
}

namespace {

// Bits appended least significant first, as deflate packs them.
class BitJoin {
 public:
  // Appends `bits` bits from the start of p.
  void Append(const uint8_t* p, uint64_t bits) {
    uint64_t bytes = (bits + 7) / 8;
    int shift = (int)(bits_ & 7);
    if (shift == 0) {
      out_.resize((size_t)(bits_ / 8));
      out_.insert(out_.end(), p, p + bytes);
    } else {
      for (uint64_t i = 0; i < bytes; i++) {
        out_.back() |= (uint8_t)(p[i] << shift);
        out_.push_back((uint8_t)(p[i] >> (8 - shift)));
      }
    }
    bits_ += bits;
    out_.resize((size_t)((bits_ + 7) / 8));
    if (bits_ & 7) out_.back() &= (uint8_t)((1u << (bits_ & 7)) - 1);
  }
  // An empty stored block: three zero header bits, zero bits up to the
  // byte boundary, LEN 0 and NLEN 0xFFFF. What follows starts on a byte.
  void EmptyStoredBlock() {
    static const uint8_t kZero = 0;
    Append(&kZero, 3);
    if (bits_ & 7) Append(&kZero, 8 - (bits_ & 7));
    static const uint8_t kLen[4] = {0, 0, 0xFF, 0xFF};
    Append(kLen, 32);
  }
  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
  uint64_t bits_ = 0;
};

}  // namespace

std::vector<uint8_t> DeflateZopfliParts(const uint8_t* data, size_t size,
                                        int iterations, int threads,
                                        size_t part_size) {
  const size_t kPart = part_size ? part_size : 1;
  size_t parts = size == 0 ? 1 : (size + kPart - 1) / kPart;
  ZopfliOptions o;
  ZopfliInitOptions(&o);
  o.numiterations = iterations < 1 ? 1 : iterations;
  struct Piece {
    unsigned char* out = nullptr;
    size_t size = 0;
    unsigned char bp = 0;
  };
  std::vector<Piece> pieces(parts);
  std::atomic<size_t> next(0);
  auto work = [&]() {
    for (size_t i; (i = next++) < parts;) {
      size_t a = i * kPart, b = std::min(size, a + kPart);
      ZopfliDeflatePart(&o, 2, i + 1 == parts, data, a, b, &pieces[i].bp,
                        &pieces[i].out, &pieces[i].size);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads && (size_t)t < parts; t++) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  // Each part was made as if it started on a byte boundary, which matters
  // to zopfli's stored blocks; an empty stored block after each part but
  // the last makes it so.
  BitJoin join;
  for (size_t i = 0; i < parts; i++) {
    Piece& p = pieces[i];
    // bp is where the next bit would go in the last byte; 0: it is full.
    uint64_t bits = (uint64_t)p.size * 8 - (p.bp ? 8 - p.bp : 0);
    join.Append(p.out, bits);
    free(p.out);
    if (i + 1 < parts) join.EmptyStoredBlock();
  }
  return join.Take();
}

namespace {

// Bits appended least significant first; Huffman codes go in reversed.
class BitOut {
 public:
  void Put(uint32_t value, int bits) {
    acc_ |= (uint64_t)value << n_;
    n_ += bits;
    while (n_ >= 8) {
      out_.push_back((uint8_t)acc_);
      acc_ >>= 8;
      n_ -= 8;
    }
  }
  void Code(uint32_t code, int len) {
    uint32_t r = 0;
    for (int i = 0; i < len; i++) r |= ((code >> i) & 1u) << (len - 1 - i);
    Put(r, len);
  }
  std::vector<uint8_t> Take() {
    if (n_) out_.push_back((uint8_t)acc_);
    acc_ = 0;
    n_ = 0;
    return std::move(out_);
  }

 private:
  std::vector<uint8_t> out_;
  uint64_t acc_ = 0;
  int n_ = 0;
};

const int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                             15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                             67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
int DistExtra(int sym) { return sym < 4 ? 0 : sym / 2 - 1; }
int DistBase(int sym) {
  if (sym < 4) return sym + 1;
  int e = DistExtra(sym);
  return 1 + (2 << e) + ((sym & 1) << e);
}

// The code lengths of a dynamic block's two trees, run-length coded with
// the symbols 16 (repeat the previous length), 17 and 18 (runs of zeros).
struct TreeHeader {
  int hlit = 257, hdist = 1, hclen = 4;
  std::vector<std::pair<int, int>> rle;  // symbol, extra value
  unsigned cl_len[19] = {0};
  unsigned cl_code[19] = {0};
  size_t bits = 0;
};

const int kClOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                          11, 4,  12, 3, 13, 2, 14, 1, 15};

void BuildTreeHeaderWith(const unsigned* ll, const unsigned* d, bool use16,
                         bool use17, bool use18, TreeHeader* h) {
  h->hlit = 286;
  while (h->hlit > 257 && ll[h->hlit - 1] == 0) h->hlit--;
  h->hdist = 30;
  while (h->hdist > 1 && d[h->hdist - 1] == 0) h->hdist--;
  std::vector<unsigned> lens(ll, ll + h->hlit);
  lens.insert(lens.end(), d, d + h->hdist);
  h->rle.clear();
  for (size_t i = 0; i < lens.size();) {
    size_t run = 1;
    while (i + run < lens.size() && lens[i + run] == lens[i]) run++;
    unsigned v = lens[i];
    size_t left = run;
    if (v == 0 && (use17 || use18)) {
      while (use18 && left >= 11) {
        size_t n = left < 138 ? left : 138;
        h->rle.push_back({18, (int)(n - 11)});
        left -= n;
      }
      while (use17 && left >= 3) {
        size_t n = left < 10 ? left : 10;
        h->rle.push_back({17, (int)(n - 3)});
        left -= n;
      }
    } else if (use16) {
      h->rle.push_back({(int)v, 0});
      left--;
      while (left >= 3) {
        size_t n = left < 6 ? left : 6;
        h->rle.push_back({16, (int)(n - 3)});
        left -= n;
      }
    }
    for (; left > 0; left--) h->rle.push_back({(int)v, 0});
    i += run;
  }
  size_t counts[19] = {0};
  for (auto& e : h->rle) counts[e.first]++;
  // zlib refuses an incomplete code-length code: give it two symbols.
  int used = 0;
  for (size_t c : counts) used += c != 0;
  if (used < 2) counts[counts[0] ? 1 : 0]++;
  ZopfliCalculateBitLengths(counts, 19, 7, h->cl_len);
  ZopfliLengthsToSymbols(h->cl_len, 19, 7, h->cl_code);
  h->hclen = 19;
  while (h->hclen > 4 && h->cl_len[kClOrder[h->hclen - 1]] == 0) h->hclen--;
  h->bits = 14 + 3 * (size_t)h->hclen;
  for (auto& e : h->rle) {
    h->bits += h->cl_len[e.first];
    h->bits += e.first == 16 ? 2 : e.first == 17 ? 3 : e.first == 18 ? 7 : 0;
  }
}

// Which run symbols pay depends on the lengths: all eight choices tried
// (or, for estimates, only all of them used).
void BuildTreeHeader(const unsigned* ll, const unsigned* d, bool try_all,
                     TreeHeader* h) {
  if (!try_all) {
    BuildTreeHeaderWith(ll, d, true, true, true, h);
    return;
  }
  TreeHeader t;
  for (int m = 0; m < 8; m++) {
    BuildTreeHeaderWith(ll, d, m & 1, m & 2, m & 4, &t);
    if (m == 0 || t.bits < h->bits) *h = t;
  }
}

// Huffman code lengths for one block; *bits receives the block's size
// without its 3 header bits.
void BlockTrees(const size_t* ll_counts_in, const size_t* d_counts_in,
                bool rle_friendly, unsigned* ll, unsigned* d, TreeHeader* h,
                size_t* bits, bool exact_header = true) {
  size_t llc[ZOPFLI_NUM_LL], dc[ZOPFLI_NUM_D];
  memcpy(llc, ll_counts_in, sizeof llc);
  memcpy(dc, d_counts_in, sizeof dc);
  if (rle_friendly) {
    OptimizeHuffmanForRle(ZOPFLI_NUM_LL, llc);
    OptimizeHuffmanForRle(ZOPFLI_NUM_D, dc);
  }
  ZopfliCalculateBitLengths(llc, ZOPFLI_NUM_LL, 15, ll);
  ZopfliCalculateBitLengths(dc, ZOPFLI_NUM_D, 15, d);
  // Two distance codes at least: some inflaters refuse fewer.
  int used = 0;
  for (int i = 0; i < 30; i++) used += d[i] != 0;
  if (used == 0) d[0] = d[1] = 1;
  if (used == 1) d[d[0] ? 1 : 0] = 1;
  BuildTreeHeader(ll, d, exact_header, h);
  size_t b = h->bits;
  for (int s = 0; s < ZOPFLI_NUM_LL; s++) {
    if (!ll_counts_in[s]) continue;
    b += ll_counts_in[s] *
         (ll[s] + (s >= 257 && s < 286 ? kLengthExtra[s - 257] : 0));
  }
  for (int s = 0; s < 30; s++)
    b += d_counts_in[s] * (d[s] + DistExtra(s));
  *bits = b;
}

void WriteBlock(const ZopfliLZ77Store& st, size_t a, size_t b, bool final,
                BitOut* out) {
  size_t llc[ZOPFLI_NUM_LL] = {0}, dc[ZOPFLI_NUM_D] = {0};
  if (b > a) ZopfliLZ77GetHistogram(&st, a, b, llc, dc);
  llc[256] = 1;
  unsigned ll[2][ZOPFLI_NUM_LL] = {{0}}, d[2][ZOPFLI_NUM_D] = {{0}};
  TreeHeader h[2];
  size_t bits[2];
  for (int v = 0; v < 2; v++)
    BlockTrees(llc, dc, v == 1, ll[v], d[v], &h[v], &bits[v]);
  // The smoothed counts must leave every symbol in use a code.
  bool complete = true;
  for (int s = 0; s < ZOPFLI_NUM_LL; s++)
    if (llc[s] && !ll[1][s]) complete = false;
  for (int s = 0; s < ZOPFLI_NUM_D; s++)
    if (dc[s] && !d[1][s]) complete = false;
  int v = complete && bits[1] < bits[0] ? 1 : 0;
  unsigned llcode[ZOPFLI_NUM_LL], dcode[ZOPFLI_NUM_D];
  ZopfliLengthsToSymbols(ll[v], ZOPFLI_NUM_LL, 15, llcode);
  ZopfliLengthsToSymbols(d[v], ZOPFLI_NUM_D, 15, dcode);
  const TreeHeader& t = h[v];
  out->Put(final ? 1 : 0, 1);
  out->Put(2, 2);
  out->Put((uint32_t)(t.hlit - 257), 5);
  out->Put((uint32_t)(t.hdist - 1), 5);
  out->Put((uint32_t)(t.hclen - 4), 4);
  for (int i = 0; i < t.hclen; i++) out->Put(t.cl_len[kClOrder[i]], 3);
  for (auto& e : t.rle) {
    out->Code(t.cl_code[e.first], (int)t.cl_len[e.first]);
    if (e.first == 16) out->Put((uint32_t)e.second, 2);
    if (e.first == 17) out->Put((uint32_t)e.second, 3);
    if (e.first == 18) out->Put((uint32_t)e.second, 7);
  }
  for (size_t i = a; i < b; i++) {
    unsigned dist = st.dists[i];
    unsigned lit = st.litlens[i];
    if (dist == 0) {
      out->Code(llcode[lit], (int)ll[v][lit]);
      continue;
    }
    int ls = st.ll_symbol[i];
    out->Code(llcode[ls], (int)ll[v][ls]);
    out->Put(lit - (unsigned)kLengthBase[ls - 257], kLengthExtra[ls - 257]);
    int ds = st.d_symbol[i];
    out->Code(dcode[ds], (int)d[v][ds]);
    out->Put(dist - (unsigned)DistBase(ds), DistExtra(ds));
  }
  out->Code(llcode[256], (int)ll[v][256]);
}

// Block boundaries as zopfli chooses them (split the largest block where
// the two halves cost least, until no split pays or max_blocks), but with
// a cheaper cost: one set of trees, no search over their encodings, and
// a sampled search for the split point even in short ranges.
class Splitter {
 public:
  explicit Splitter(const ZopfliLZ77Store& st) : st_(st) {}

  std::vector<size_t> Split(size_t max_blocks) {
    std::vector<size_t> splits;
    const size_t n = st_.size;
    if (n < 10 || max_blocks < 2) return splits;
    std::vector<std::pair<size_t, size_t>> done;  // ranges that stay whole
    size_t a = 0, b = n;
    for (;;) {
      double split_cost;
      size_t at = FindMinimum(a, b, &split_cost);
      if (split_cost < Cost(a, b) && at > a + 1 && at < b) {
        splits.insert(std::upper_bound(splits.begin(), splits.end(), at), at);
      } else {
        done.push_back({a, b});
      }
      if (splits.size() + 1 >= max_blocks) break;
      // The largest range not yet judged whole.
      size_t best_len = 0, prev = 0;
      bool found = false;
      for (size_t k = 0; k <= splits.size(); k++) {
        size_t end = k < splits.size() ? splits[k] : n;
        bool whole = false;
        for (auto& d : done) whole |= d.first == prev && d.second == end;
        if (!whole && end - prev > best_len && end - prev >= 10) {
          best_len = end - prev;
          a = prev;
          b = end;
          found = true;
        }
        prev = end;
      }
      if (!found) break;
    }
    return splits;
  }

 private:
  double Cost(size_t a, size_t b) const {
    size_t llc[ZOPFLI_NUM_LL] = {0}, dc[ZOPFLI_NUM_D] = {0};
    if (b > a) ZopfliLZ77GetHistogram(&st_, a, b, llc, dc);
    llc[256] = 1;
    unsigned ll[ZOPFLI_NUM_LL] = {0}, d[ZOPFLI_NUM_D] = {0};
    TreeHeader h;
    size_t bits;
    BlockTrees(llc, dc, false, ll, d, &h, &bits, false);
    return (double)bits + 3;
  }
  // The split point of [a, b) that makes the two parts cheapest.
  size_t FindMinimum(size_t a, size_t b, double* cost) const {
    enum { kSamples = 9 };
    size_t lo = a + 1, hi = b, best_at = lo;
    double best = 1e300;
    while (hi - lo > kSamples) {
      size_t p[kSamples];
      double v[kSamples];
      int bi = 0;
      for (int i = 0; i < kSamples; i++) {
        p[i] = lo + (i + 1) * ((hi - lo) / (kSamples + 1));
        v[i] = Cost(a, p[i]) + Cost(p[i], b);
        if (v[i] < v[bi]) bi = i;
      }
      if (v[bi] > best) break;
      best = v[bi];
      best_at = p[bi];
      lo = bi == 0 ? lo : p[bi - 1];
      hi = bi == kSamples - 1 ? hi : p[bi + 1];
    }
    for (size_t q = lo; q < hi && hi - lo <= kSamples; q++) {
      double v = Cost(a, q) + Cost(q, b);
      if (v < best) {
        best = v;
        best_at = q;
      }
    }
    *cost = best;
    return best_at;
  }

  const ZopfliLZ77Store& st_;
};

int LengthSymbol(int len) {
  int s = 28;
  while (kLengthBase[s] > len) s--;
  return 257 + s;
}

int DistSymbol(int dist) {
  if (dist <= 4) return dist - 1;
  int l = 31 - __builtin_clz((unsigned)(dist - 1));  // floor(log2(dist - 1))
  return 2 * l + (((dist - 1) >> (l - 1)) & 1);
}

// Shortest-path parses of [a, b) priced by symbol statistics, as zopfli's
// iterations are, over matches found once with a bounded search so that
// long runs and repeats stay cheap.
class OptimalParser {
 public:
  OptimalParser(const uint8_t* data, size_t window_start, size_t end)
      : data_(data), ws_(window_start), end_(end), head_(1u << kHashBits, -1),
        prev_(end - window_start, -1) {}

  // Finds the matches of every position of [a, b) once, then parses
  // `rounds` times, each round priced by the one before (the first by
  // stats[sa, sb)); the last round's symbols are appended to *out.
  void Parse(size_t a, size_t b, const ZopfliLZ77Store& stats, size_t sa,
             size_t sb, int rounds, ZopfliLZ77Store* out) {
    FindAll(a, b);
    Prices(stats, sa, sb);
    for (int r = 1; r < rounds; r++) {
      ZopfliLZ77Store round;
      ZopfliInitLZ77Store(data_, &round);
      ShortestPath(a, b, &round);
      Prices(round, 0, round.size);
      ZopfliCleanLZ77Store(&round);
    }
    ShortestPath(a, b, out);
  }

 private:
  enum { kHashBits = 16, kMinMatch = 3, kMaxMatch = 258, kChain = 256 };

  // Per position: runs of lengths sharing their nearest distance, as
  // (longest length of the run, distance), shortest lengths first.
  void FindAll(size_t a, size_t b) {
    Insert(a);
    const size_t n = b - a;
    first_.assign(n + 1, 0);
    runs_.clear();
    int sublen[kMaxMatch + 1];
    size_t skip_to = 0;
    for (size_t i = 0; i < n; i++) {
      const size_t pos = a + i;
      first_[i] = (uint32_t)runs_.size();
      int best = pos >= skip_to ? Matches(pos, b, sublen) : 0;
      Insert(pos + 1);
      for (int len = kMinMatch; len <= best; len++)
        if (len == best || sublen[len + 1] != sublen[len])
          runs_.push_back({(uint16_t)len, (uint16_t)sublen[len]});
      // Inside a long repeat every position finds the same long match:
      // search again only past it.
      if (best == kMaxMatch) skip_to = pos + kMaxMatch;
    }
    first_[n] = (uint32_t)runs_.size();
  }

  void ShortestPath(size_t a, size_t b, ZopfliLZ77Store* out) {
    const size_t n = b - a;
    cost_.assign(n + 1, 1e30f);
    step_len_.assign(n + 1, 0);
    step_dist_.assign(n + 1, 0);
    cost_[0] = 0;
    for (size_t i = 0; i < n; i++) {
      const float here = cost_[i];
      float c = here + lit_price_[data_[a + i]];
      if (c < cost_[i + 1]) {
        cost_[i + 1] = c;
        step_len_[i + 1] = 1;
        step_dist_[i + 1] = 0;
      }
      int len = kMinMatch;
      for (uint32_t r = first_[i]; r < first_[i + 1]; r++) {
        const int dist = runs_[r].second;
        const float base = here + dist_price_[DistSymbol(dist)];
        for (; len <= runs_[r].first; len++) {
          float m = base + len_price_[len];
          if (m < cost_[i + len]) {
            cost_[i + len] = m;
            step_len_[i + len] = (uint16_t)len;
            step_dist_[i + len] = (uint16_t)dist;
          }
        }
      }
    }
    std::vector<std::pair<uint16_t, uint16_t>> steps;
    for (size_t i = n; i > 0;) {
      steps.push_back({step_len_[i], step_dist_[i]});
      i -= step_len_[i];
    }
    size_t pos = a;
    for (size_t k = steps.size(); k-- > 0;) {
      if (steps[k].second == 0) {
        ZopfliStoreLitLenDist(data_[pos], 0, pos, out);
        pos++;
      } else {
        ZopfliStoreLitLenDist(steps[k].first, steps[k].second, pos, out);
        pos += steps[k].first;
      }
    }
  }

  uint32_t Hash(size_t p) const {
    uint32_t v = (uint32_t)data_[p] | ((uint32_t)data_[p + 1] << 8) |
                 ((uint32_t)data_[p + 2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
  }
  // Puts every position before `upto` that a match can start at in the
  // chains.
  void Insert(size_t upto) {
    for (; ws_ + inserted_ < upto; inserted_++) {
      size_t p = ws_ + inserted_;
      if (p + kMinMatch > end_) break;
      uint32_t h = Hash(p);
      prev_[inserted_] = head_[h];
      head_[h] = (int32_t)inserted_;
    }
  }
  // sublen[len]: the nearest distance giving a match of len; returns the
  // longest length found (0 when none reaches kMinMatch).
  int Matches(size_t pos, size_t limit, int* sublen) {
    size_t room = limit - pos;
    int maxlen = room < (size_t)kMaxMatch ? (int)room : kMaxMatch;
    if (maxlen < kMinMatch) return 0;
    int best = kMinMatch - 1;
    int budget = kChain;
    for (int32_t c = head_[Hash(pos)]; c >= 0 && budget-- > 0;
         c = prev_[(size_t)c]) {
      size_t cand = ws_ + (size_t)c;
      size_t dist = pos - cand;
      if (dist == 0) continue;
      if (dist > ZOPFLI_WINDOW_SIZE) break;
      const uint8_t* x = data_ + cand;
      const uint8_t* y = data_ + pos;
      if (x[best] != y[best]) continue;
      int l = 0;
      while (l < maxlen && x[l] == y[l]) l++;
      if (l > best) {
        for (int k = best + 1; k <= l; k++) sublen[k] = (int)dist;
        best = l;
        if (l == maxlen) break;
      }
    }
    return best >= kMinMatch ? best : 0;
  }
  void Prices(const ZopfliLZ77Store& st, size_t sa, size_t sb) {
    size_t llc[ZOPFLI_NUM_LL] = {0}, dc[ZOPFLI_NUM_D] = {0};
    if (sb > sa) ZopfliLZ77GetHistogram(&st, sa, sb, llc, dc);
    llc[256] = 1;
    double llb[ZOPFLI_NUM_LL], db[ZOPFLI_NUM_D];
    ZopfliCalculateEntropy(llc, ZOPFLI_NUM_LL, llb);
    ZopfliCalculateEntropy(dc, ZOPFLI_NUM_D, db);
    for (int c = 0; c < 256; c++) lit_price_[c] = (float)llb[c];
    for (int len = kMinMatch; len <= kMaxMatch; len++) {
      int sym = LengthSymbol(len);
      len_price_[len] = (float)(llb[sym] + kLengthExtra[sym - 257]);
    }
    for (int d = 0; d < 30; d++) dist_price_[d] = (float)(db[d] + DistExtra(d));
  }

  const uint8_t* data_;
  size_t ws_, end_;
  std::vector<int32_t> head_, prev_;
  size_t inserted_ = 0;  // positions ws_ .. ws_ + inserted_ - 1 are in
  std::vector<uint32_t> first_;
  std::vector<std::pair<uint16_t, uint16_t>> runs_;
  std::vector<float> cost_;
  std::vector<uint16_t> step_len_, step_dist_;
  float lit_price_[256] = {};
  float len_price_[kMaxMatch + 1] = {};
  float dist_price_[30] = {};
};

// The optimal parse of [from, to), priced first by the lazy parse's
// symbols stats[sa, sb), then seven more times each by the one before
// (zopfli's iterations; on the corpus, rounds past two take about 0.07 s
// per MiB each and eight rounds give about 1% smaller patches than two);
// matches may read up to `end`.
void ParseBlock(const uint8_t* data, size_t from, size_t to, size_t end,
                const ZopfliLZ77Store& stats, size_t sa, size_t sb,
                ZopfliLZ77Store* out) {
  const size_t ws = from > ZOPFLI_WINDOW_SIZE ? from - ZOPFLI_WINDOW_SIZE : 0;
  OptimalParser(data, ws, end).Parse(from, to, stats, sa, sb, 8, out);
}

}  // namespace

std::vector<uint8_t> DeflateSplitBlocks(const uint8_t* data, size_t size,
                                        int threads, size_t part_size,
                                        int max_blocks, bool optimal) {
  BitOut out;
  if (size == 0) {
    out.Put(1, 1);  // final, fixed codes, end of block at once
    out.Put(1, 2);
    out.Put(0, 7);
    return out.Take();
  }
  const size_t kPart = part_size ? part_size : 1;
  size_t parts = (size + kPart - 1) / kPart;
  ZopfliOptions o;
  ZopfliInitOptions(&o);
  struct Part {
    ZopfliLZ77Store store;
    std::vector<size_t> splits;
  };
  std::vector<Part> pieces(parts);
  for (Part& p : pieces) ZopfliInitLZ77Store(data, &p.store);
  std::atomic<size_t> next(0);
  auto work = [&]() {
    ZopfliHash hash;
    ZopfliAllocHash(ZOPFLI_WINDOW_SIZE, &hash);
    for (size_t i; (i = next++) < parts;) {
      size_t a = i * kPart, b = std::min(size, a + kPart);
      ZopfliBlockState s;
      ZopfliInitBlockState(&o, a, b, 0, &s);
      ZopfliLZ77Greedy(&s, data, a, b, &pieces[i].store, &hash);
      ZopfliCleanBlockState(&s);
      pieces[i].splits = Splitter(pieces[i].store).Split((size_t)max_blocks);
      if (optimal) {
        ZopfliLZ77Store& g = pieces[i].store;
        ZopfliLZ77Store best;
        ZopfliInitLZ77Store(data, &best);
        std::vector<size_t> bounds = pieces[i].splits;
        bounds.push_back(g.size);
        std::vector<size_t> new_splits;
        size_t sa = 0;
        for (size_t k = 0; k < bounds.size(); k++) {
          size_t sb = bounds[k];
          size_t from = sa < g.size ? g.pos[sa] : b;
          size_t to = sb < g.size ? g.pos[sb] : b;
          if (to > from) ParseBlock(data, from, to, b, g, sa, sb, &best);
          if (k + 1 < bounds.size()) new_splits.push_back(best.size);
          sa = sb;
        }
        ZopfliCleanLZ77Store(&g);
        g = best;
        pieces[i].splits = new_splits;
      }
    }
    ZopfliCleanHash(&hash);
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads && (size_t)t < parts; t++) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  for (size_t i = 0; i < parts; i++) {
    Part& p = pieces[i];
    p.splits.push_back(p.store.size);
    size_t at = 0;
    for (size_t k = 0; k < p.splits.size(); k++) {
      WriteBlock(p.store, at, p.splits[k], i + 1 == parts && k + 1 == p.splits.size(), &out);
      at = p.splits[k];
    }
    ZopfliCleanLZ77Store(&p.store);
  }
  // The writer is ours, not zlib's: a stream that would not inflate back
  // must never reach a patch.
  std::vector<uint8_t> result = out.Take(), back;
  if (!InflateRaw(result.data(), result.size(), &back) || back.size() != size ||
      memcmp(back.data(), data, size) != 0)
    throw std::logic_error("deflate: the stream does not inflate back");
  return result;
}

bool InflateRaw(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  out->clear();
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = (uInt)size;
  uint8_t buf[1 << 16];
  int r;
  do {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    r = inflate(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END) {
      inflateEnd(&z);
      return false;
    }
    out->insert(out->end(), buf, buf + (sizeof buf - z.avail_out));
  } while (r != Z_STREAM_END);
  inflateEnd(&z);
  return true;
}

}  // namespace maker
