#include "maker/delta_encoder.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "maker/delta_match.h"
#include "maker/raw_deflate.h"

namespace maker {

namespace {

// ---------------------------------------------------------------------------
// The plan: commands in new-file order, before they become stream bytes.

struct Op {
  bool copy;
  uint8_t trailer;       // copy: trailer length in force for it
  uint32_t new_pos;      // first output byte of the command
  uint32_t len;          // copy: N (trailer not included); insert: M
  uint32_t src;          // copy: source-space position
  uint32_t first_piece;  // insert: its first entry in Plan::piece_raw
};

struct Plan {
  std::vector<Op> ops;
  std::vector<uint8_t> piece_raw;  // per insert piece: 1 raw, 0 added
  uint8_t global_trailer = 0;
};

// The source space as the rebuild sees it: the old file, then the new file
// as far as it has been written.
struct Space {
  const uint8_t* old;
  uint32_t old_size;
  const uint8_t* nw;
  uint32_t new_size;
  // Old bytes that may differ on the user's machine (the source's CRC
  // hole): nothing outside the new file's own hole may depend on them.
  uint64_t hole_lo = 0, hole_hi = 0;
  // The new file's hole, when it is as long as the old one: it is copied
  // from the old hole, so the user's bytes there stay the user's.
  uint64_t new_hole_lo = 0, new_hole_hi = 0;

  uint8_t At(uint64_t p) const {
    return p < old_size ? old[p] : nw[p - old_size];
  }
  // Whether new byte np is what source byte sp gives.
  bool Agree(uint64_t np, uint64_t sp) const {
    if (np >= new_hole_lo && np < new_hole_hi)
      return sp == hole_lo + (np - new_hole_lo);
    return nw[np] == At(sp);
  }
  // Whether n bytes at p hold defined bytes once `written` output bytes
  // exist. A read is served by one file, chosen by its first byte.
  bool Readable(uint64_t p, uint64_t n, uint64_t written) const {
    if (p + n <= old_size) return p + n <= hole_lo || p >= hole_hi;
    if (p < old_size) return false;
    return p - old_size + n <= written;
  }
};

Space MakeSpace(const uint8_t* old_data, uint32_t old_size,
                const uint8_t* new_data, uint32_t new_size,
                const DeltaOptions& o) {
  Space s{old_data, old_size, new_data, new_size};
  if (o.old_hole_length) {
    s.hole_lo = std::min<uint64_t>(o.old_hole_offset, old_size);
    s.hole_hi = std::min<uint64_t>((uint64_t)o.old_hole_offset +
                                       o.old_hole_length, old_size);
  }
  uint64_t nlo = o.new_hole_offset,
           nhi = (uint64_t)o.new_hole_offset + o.new_hole_length;
  if (o.new_hole_length && s.hole_hi - s.hole_lo == o.new_hole_length &&
      nhi <= new_size) {
    s.new_hole_lo = nlo;
    s.new_hole_hi = nhi;
  }
  return s;
}

// Insert piece lengths: block size pieces, the last one taking the rest
// together with one block.
template <typename F>
void ForEachPiece(uint32_t m, uint32_t block, F f) {
  uint32_t done = 0;
  for (;;) {
    uint32_t rest = m - done;
    uint32_t len = rest < 2 * block ? rest : block;
    f(done, len);
    if (rest < 2 * block) return;
    done += block;
  }
}

class Planner {
 public:
  Planner(const Space& sp, const DeltaLayout& lay) : s_(sp), lay_(lay) {}

  Plan Run(const std::vector<Segment>& segs) {
    plan_.global_trailer = lay_.trailer_mode == 0 ? (uint8_t)lay_.trailer_len
                                                  : 0;
    for (const Segment& g : segs) Segment1(g);
    Flush(s_.new_size);
    return std::move(plan_);
  }

 private:
  // The insert alignment base: where the next insert's differences start.
  uint64_t Base() const { return p_ + l_ + t_; }


  void Segment1(const Segment& g) {
    // Is this stretch simply the continuation of the alignment in force?
    bool aligned = have_copy_ && g.new_pos >= ins_start_ &&
                   Base() + (g.new_pos - ins_start_) == g.src_pos;
    if (aligned) aligned_end_ = g.new_pos + g.len;

    // Maximal runs of agreeing bytes.
    runs_.clear();
    uint32_t k = 0;
    while (k < g.len) {
      while (k < g.len && !s_.Agree(g.new_pos + k, (uint64_t)g.src_pos + k))
        k++;
      uint32_t st = k;
      while (k < g.len && s_.Agree(g.new_pos + k, (uint64_t)g.src_pos + k))
        k++;
      if (k > st) runs_.push_back(Run1{st, k - st});
    }

    uint32_t next = 0;  // first segment byte not yet claimed by a copy
    for (size_t r = 0; r < runs_.size(); r++) {
      uint32_t rs = runs_[r].start, rl = runs_[r].len;
      if (rs < next) {
        if (rs + rl <= next) continue;
        rl -= next - rs;
        rs = next;
      }
      uint32_t need = aligned ? (uint32_t)lay_.min_copy : 1;
      if (rl < need) continue;
      uint32_t left = g.len - rs;
      uint32_t n, t;
      if (lay_.trailer_mode == 0) {
        t = (uint32_t)lay_.trailer_len;
        if (rl + t <= left) {
          n = rl;
        } else {
          if (left <= t) continue;
          n = left - t;
        }
      } else {
        n = rl;
        // The trailer runs to the next run worth a copy, or to the end.
        uint32_t stop = g.len;
        for (size_t q = r + 1; q < runs_.size(); q++)
          if (runs_[q].len >= (uint32_t)lay_.min_copy) {
            stop = runs_[q].start;
            break;
          }
        t = stop - (rs + rl);
        if (t > 255) t = 255;
      }
      Copy(g.new_pos + rs, g.src_pos + rs, n, t);
      next = rs + n + t;
      aligned = true;
      aligned_end_ = g.new_pos + g.len;
    }
  }

  void Copy(uint32_t np, uint32_t src, uint32_t n, uint32_t t) {
    Flush(np);
    Op op{};
    op.copy = true;
    op.trailer = (uint8_t)t;
    op.new_pos = np;
    op.len = n;
    op.src = src;
    plan_.ops.push_back(op);
    p_ = src;
    l_ = n;
    t_ = t;
    have_copy_ = true;
    ins_start_ = np + n + t;
  }

  // Emits the pending new bytes [ins_start_, end) as one insert.
  void Flush(uint32_t end) {
    if (end <= ins_start_) return;
    uint32_t m = end - ins_start_;
    Op op{};
    op.copy = false;
    op.new_pos = ins_start_;
    op.len = m;
    op.first_piece = (uint32_t)plan_.piece_raw.size();
    const uint64_t base = Base();
    const uint32_t start = ins_start_;
    ForEachPiece(m, (uint32_t)lay_.block, [&](uint32_t done, uint32_t len) {
      plan_.piece_raw.push_back(PieceRaw(start + done, base + done, len));
    });
    plan_.ops.push_back(op);
    ins_start_ = end;
  }

  uint8_t PieceRaw(uint32_t np, uint64_t src, uint32_t len) const {
    if (!s_.Readable(src, len, np)) return 1;
    // Differences inside an aligned stretch are what the layout is for.
    if (np + len <= aligned_end_) return 0;
    uint32_t zeros = 0;
    for (uint32_t k = 0; k < len; k++)
      if (s_.nw[np + k] == s_.At(src + k)) zeros++;
    return zeros * 16 >= (uint32_t)lay_.added_zero_share * len ? 0 : 1;
  }

  struct Run1 {
    uint32_t start, len;
  };

  const Space& s_;
  const DeltaLayout& lay_;
  Plan plan_;
  std::vector<Run1> runs_;
  // The rebuild's state after the commands planned so far.
  uint64_t p_ = 0, l_ = 0, t_ = 0;
  bool have_copy_ = false;
  uint32_t ins_start_ = 0;    // first new byte not yet in any command
  uint32_t aligned_end_ = 0;  // pending bytes before this are aligned
};

// ---------------------------------------------------------------------------
// Streams.

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : out_(out) {}
  void Put(bool bit) {
    if (n_ == 0) out_->push_back(0);
    if (bit) out_->back() |= (uint8_t)(1u << n_);
    n_ = (n_ + 1) & 7;
  }

 private:
  std::vector<uint8_t>* out_;
  int n_ = 0;
};

int NumberBytes(uint64_t bound) {
  return bound > 0xFFFFFF ? 4 : bound > 0xFFFF ? 3 : bound > 0xFF ? 2 : 1;
}

uint64_t Capacity(int bytes) { return (1ull << (8 * bytes)) - 1; }

class StreamWriter {
 public:
  StreamWriter(EncodedDelta* d, uint64_t bound)
      : d_(d), bound_(bound), flag_(&d->streams[kFlagStream]),
        sign_(&d->streams[kSignStream]) {}

  void Number(int64_t v) {
    uint64_t m = v < 0 ? (uint64_t)-v : (uint64_t)v;
    if (m > Capacity(NumberBytes(bound_)))
      throw std::logic_error("delta encoder: number wider than the bound");
    std::vector<uint8_t>& cmd = d_->streams[kCommandStream];
    cmd.push_back((uint8_t)m);
    if (bound_ > 0xFF) {
      bool more = m > 0xFF;
      sign_.Put(more);
      if (more) {
        cmd.push_back((uint8_t)(m >> 8));
        if (bound_ > 0xFFFF) {
          more = m > 0xFFFF;
          flag_.Put(more);
          if (more) {
            cmd.push_back((uint8_t)(m >> 16));
            if (bound_ > 0xFFFFFF) {
              more = m > 0xFFFFFF;
              flag_.Put(more);
              if (more) cmd.push_back((uint8_t)(m >> 24));
            }
          }
        }
      }
    }
    sign_.Put(v < 0);
  }
  void Byte(int which, uint8_t b) { d_->streams[which].push_back(b); }
  void Flag(bool bit) { flag_.Put(bit); }

 private:
  EncodedDelta* d_;
  uint64_t bound_;
  BitWriter flag_, sign_;
};

EncodedDelta Serialize(const Space& s, const Plan& plan,
                       const DeltaLayout& lay) {
  EncodedDelta d{};
  d.layout = lay;
  // Positions in the new file's own bytes may need the wider bound.
  uint64_t narrow = std::max(s.old_size, s.new_size);
  uint64_t widest = 0;
  {
    uint64_t p = 0, l = 0;
    for (const Op& op : plan.ops) {
      widest = std::max<uint64_t>(widest, op.len);
      if (op.copy) {
        int64_t dd = (int64_t)op.src - (int64_t)(p + l);
        widest = std::max<uint64_t>(widest, dd < 0 ? -dd : dd);
        p = op.src;
        l = op.len;
      }
    }
  }
  bool self_ref = widest > Capacity(NumberBytes(narrow));
  uint64_t bound = self_ref ? (uint64_t)s.old_size + s.new_size : narrow;

  StreamWriter w(&d, bound);
  const int group = lay.trailer_mode == 0 ? 0 : 1;
  int64_t counter = 0;
  uint64_t p = 0, l = 0, t = 0;
  for (const Op& op : plan.ops) {
    if (op.copy) {
      w.Number((int64_t)op.len);
      w.Number((int64_t)op.src - (int64_t)(p + l));
      if (counter == 0) {
        w.Byte(kCommandStream, op.trailer);
        t = op.trailer;
        counter = group;
      } else if (op.trailer != t) {
        throw std::logic_error("delta encoder: trailer outside its group");
      }
      counter--;
      p = op.src;
      l = op.len;
      for (uint64_t k = 0; k < t; k++)
        w.Byte(kTrailerStream,
               (uint8_t)(s.nw[op.new_pos + op.len + k] - s.At(p + l + k)));
    } else {
      w.Number(-(int64_t)op.len);
      const uint64_t base = p + l + t;
      uint32_t piece = op.first_piece;
      ForEachPiece(op.len, (uint32_t)lay.block,
                   [&](uint32_t done, uint32_t len) {
                     bool raw = plan.piece_raw[piece++] != 0;
                     w.Flag(raw);
                     const uint8_t* nb = s.nw + op.new_pos + done;
                     for (uint32_t k = 0; k < len; k++)
                       w.Byte(kInsertStream,
                              raw ? nb[k]
                                  : (uint8_t)(nb[k] - s.At(base + done + k)));
                   });
    }
    d.command_count++;
  }

  SourceRecord& r = d.record;
  r.old_checksum = 0;
  r.old_size = s.old_size;
  for (int i = 0; i < kStreamCount; i++)
    r.stream_len[i] = (uint32_t)d.streams[i].size();
  r.trailer_group_size = (uint16_t)group;
  r.flags = self_ref ? kSourceSelfReference : 0;
  r.insert_block_size = (uint8_t)lay.block;
  return d;
}

// How candidates are judged: the size zlib gives their streams at the
// search level. The payload may later be deflated harder, or with zopfli;
// zopfli shrinks long runs of differences much more than zlib does (about
// 13% against 8% for the copy-per-mismatch layout, measured on shared
// libraries and programs), which PreferRuns takes into account.
class Judge {
 public:
  explicit Judge(const DeltaOptions& o)
      : level_(o.search_level), zopfli_(o.zopfli_judge) {}
  size_t Quick(const EncodedDelta& d) const {
    std::vector<uint8_t> all = JoinStreams(d);
    return RawDeflatedSize(all.data(), all.size(), level_);
  }
  // Whether the long-differences candidate should win over the copies one.
  // The two families rank differently at low levels (long runs need long
  // match searches), so they are compared at level 9.
  // *runs_size and *copies_size receive the level-9 sizes.
  bool PreferRuns(const EncodedDelta& runs, const EncodedDelta& copies,
                  int threads, size_t* runs_size, size_t* copies_size) const {
    std::vector<uint8_t> a = JoinStreams(runs), b = JoinStreams(copies);
    size_t r = 0, c = 0;
    if (threads > 1) {
      std::thread t([&]() { r = RawDeflatedSize(a.data(), a.size(), 9); });
      c = RawDeflatedSize(b.data(), b.size(), 9);
      t.join();
    } else {
      r = RawDeflatedSize(a.data(), a.size(), 9);
      c = RawDeflatedSize(b.data(), b.size(), 9);
    }
    *runs_size = r;
    *copies_size = c;
    if (!zopfli_) return r < c;
    return (double)r * 0.946 < (double)c;
  }

 private:
  int level_;
  bool zopfli_;
};

void CheckSizes(uint32_t old_size, uint32_t new_size) {
  if (old_size > 0x7FFFFFFFu || new_size > 0x7FFFFFFFu)
    throw std::length_error("files of 2 GiB or more cannot be patched");
}

EncodedDelta Encode(const Space& s, const std::vector<Segment>& segs,
                    const DeltaLayout& lay, const Judge& judge) {
  Plan plan = Planner(s, lay).Run(segs);
  EncodedDelta d = Serialize(s, plan, lay);
  d.judged_size = judge.Quick(d);
  return d;
}

std::vector<Segment> Align(const Space& s, const OldIndex& index,
                           const DeltaOptions& options) {
  MatchOptions mo;
  mo.self_reference = options.self_reference;
  return FindSegments(index, s.nw, s.new_size, mo);
}

// The segments with the CRC holes cut out (after any tidying, which would
// join them again across a hole).
std::vector<Segment> CutHoles(const Space& s, std::vector<Segment> segs) {
  if (s.hole_hi <= s.hole_lo) return segs;
  // Cut the old file's hole out of every segment, and the new file's hole
  // too when it is to be copied from the old one.
  const bool copy_hole = s.new_hole_hi > s.new_hole_lo;
  std::vector<Segment> kept;
  auto keep = [&](uint32_t np, uint32_t sp, uint32_t len) {
    if (len == 0) return;
    uint64_t a = np, b = (uint64_t)np + len;
    if (copy_hole && b > s.new_hole_lo && a < s.new_hole_hi) {
      if (a < s.new_hole_lo)
        kept.push_back(Segment{np, sp, (uint32_t)(s.new_hole_lo - a)});
      if (b > s.new_hole_hi) {
        uint32_t skip = (uint32_t)(s.new_hole_hi - a);
        kept.push_back(Segment{np + skip, sp + skip, len - skip});
      }
      return;
    }
    kept.push_back(Segment{np, sp, len});
  };
  for (const Segment& g : segs) {
    uint64_t a = g.src_pos, b = (uint64_t)g.src_pos + g.len;
    if (a >= s.old_size || b <= s.hole_lo || a >= s.hole_hi) {
      keep(g.new_pos, g.src_pos, g.len);
      continue;
    }
    if (a < s.hole_lo) keep(g.new_pos, g.src_pos, (uint32_t)(s.hole_lo - a));
    if (b > s.hole_hi) {
      uint32_t skip = (uint32_t)(s.hole_hi - a);
      keep(g.new_pos + skip, (uint32_t)s.hole_hi, g.len - skip);
    }
  }
  if (copy_hole) {
    kept.push_back(Segment{(uint32_t)s.new_hole_lo, (uint32_t)s.hole_lo,
                           (uint32_t)(s.new_hole_hi - s.new_hole_lo)});
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Segment& x, const Segment& y) {
                       return x.new_pos < y.new_pos;
                     });
  }
  return kept;
}


}  // namespace

std::vector<uint8_t> JoinStreams(const EncodedDelta& d) {
  std::vector<uint8_t> all;
  size_t total = 0;
  for (int i = 0; i < kStreamCount; i++) total += d.streams[i].size();
  all.reserve(total);
  for (int i = 0; i < kStreamCount; i++)
    all.insert(all.end(), d.streams[i].begin(), d.streams[i].end());
  return all;
}

EncodedDelta EncodeDeltaWithLayout(const uint8_t* old_data, uint32_t old_size,
                                   const uint8_t* new_data, uint32_t new_size,
                                   const DeltaLayout& layout,
                                   const DeltaOptions& options) {
  CheckSizes(old_size, new_size);
  if (layout.block < 1 || layout.block > 255 || layout.trailer_len < 0 ||
      layout.trailer_len > 255 || layout.min_copy < 1)
    throw std::invalid_argument("delta layout out of range");
  Space s = MakeSpace(old_data, old_size, new_data, new_size, options);
  OldIndex index(old_data, old_size);
  std::vector<Segment> segs = Align(s, index, options);
  if (layout.tidy) TidySegments(old_size, &segs);
  return Encode(s, CutHoles(s, segs), layout, Judge(options));
}

EncodedDelta EncodeDelta(const uint8_t* old_data, uint32_t old_size,
                         const uint8_t* new_data, uint32_t new_size,
                         const DeltaOptions& options) {
  CheckSizes(old_size, new_size);
  Space s = MakeSpace(old_data, old_size, new_data, new_size, options);
  OldIndex index(old_data, old_size);
  Judge judge(options);

  // Two families of layouts. Copy per mismatch: every stretch of agreeing
  // bytes, down to a single byte, is a copy and the differing bytes after
  // it its trailer, so the places of the differences go into the command
  // stream as copy lengths (a copy that continues after a trailer costs
  // less than an insert of the same bytes); chance matches are tidied away
  // first, as each would cost a copy.
  // Long differences: copies only for long exact stretches, everything
  // else of an aligned stretch as added insert pieces, mostly zeros, which
  // deflate takes well when the differences are dense or regular.
  DeltaLayout copies;
  copies.trailer_len = 2;
  copies.min_copy = 1;
  copies.tidy = true;
  std::vector<Segment> raw_segs = Align(s, index, options);
  std::vector<Segment> tidy_segs = raw_segs;
  TidySegments(old_size, &tidy_segs);
  tidy_segs = CutHoles(s, tidy_segs);
  if (options.effort <= 0) return Encode(s, tidy_segs, copies, judge);
  raw_segs = CutHoles(s, raw_segs);
  DeltaLayout runs;
  runs.trailer_len = 0;
  runs.min_copy = 1000;
  runs.tidy = false;

  std::vector<DeltaLayout> cands;
  std::vector<int> trailers = {2, 3};
  if (options.effort >= 2) trailers = {0, 1, 2, 3, 4};
  std::vector<int> blocks = {64};
  if (options.effort >= 2) blocks = {16, 32, 64, 128, 255};
  for (int blk : blocks) {
    for (int t : trailers) {
      DeltaLayout l = copies;
      l.trailer_len = t;
      l.block = blk;
      cands.push_back(l);
    }
    // The long-differences family rarely wins since copies go down to a
    // single byte, and judging it takes a level-9 pass over its long
    // streams; only the wide search tries it.
    if (options.effort >= 2) {
      DeltaLayout r = runs;
      r.block = blk;
      cands.push_back(r);
    }
  }
  // Candidates are independent. Only the best of each family so far is
  // kept (memory), and ties go to the earlier candidate, so the choice does
  // not depend on the threads or their timing.
  EncodedDelta best[2];
  int best_at[2] = {-1, -1};  // 0: copies, 1: long differences
  std::atomic<size_t> next(0);
  std::exception_ptr failure;
  std::mutex mu;
  auto work = [&]() {
    for (size_t i; (i = next++) < cands.size();) {
      try {
        EncodedDelta d = Encode(s, cands[i].tidy ? tidy_segs : raw_segs,
                                cands[i], judge);
        int fam = cands[i].tidy ? 0 : 1;
        std::lock_guard<std::mutex> lock(mu);
        if (best_at[fam] < 0 || d.judged_size < best[fam].judged_size ||
            (d.judged_size == best[fam].judged_size && (int)i < best_at[fam])) {
          best[fam] = std::move(d);
          best_at[fam] = (int)i;
        }
      } catch (...) {
        std::lock_guard<std::mutex> lock(mu);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < options.threads && (size_t)t < cands.size(); t++)
    pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
  if (best_at[1] < 0) return std::move(best[0]);

  // The families are compared at level 9: lower levels underrate the long
  // runs of differences badly.
  size_t runs_size, copies_size;
  bool prefer_runs = judge.PreferRuns(best[1], best[0], options.threads,
                                      &runs_size, &copies_size);
  EncodedDelta& pick = best[prefer_runs ? 1 : 0];
  pick.judged_size = prefer_runs ? runs_size : copies_size;
  return std::move(pick);
}

}  // namespace maker
