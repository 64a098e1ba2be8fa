#include "maker/delta_match.h"

#include <divsufsort.h>
#include <string.h>

#include <stdexcept>

namespace maker {

namespace {

uint32_t CommonPrefix(const uint8_t* a, const uint8_t* b, uint32_t n) {
  uint32_t i = 0;
  while (i + 8 <= n) {
    uint64_t x, y;
    memcpy(&x, a + i, 8);
    memcpy(&y, b + i, 8);
    if (x != y) return i + (uint32_t)(__builtin_ctzll(x ^ y) >> 3);
    i += 8;
  }
  while (i < n && a[i] == b[i]) i++;
  return i;
}

}  // namespace

OldIndex::OldIndex(const uint8_t* old_data, uint32_t old_size)
    : old_(old_data), size_(old_size) {
  if (old_size == 0) return;
  if (old_size > 0x7FFFFFFFu)
    throw std::length_error("old file too large for the suffix array");
  sa_.resize(old_size);
  if (divsufsort(old_data, sa_.data(), (saidx_t)old_size) != 0)
    throw std::runtime_error("divsufsort failed");
}

uint32_t OldIndex::Longest(const uint8_t* q, uint32_t qlen,
                           uint32_t* pos) const {
  *pos = 0;
  if (size_ == 0 || qlen == 0) return 0;
  // Narrow [lo, hi] to the two neighbours of q's place in the sorted
  // suffixes; the longest common prefix is with one of them.
  uint32_t lo = 0, hi = size_ - 1;
  while (hi - lo > 1) {
    uint32_t mid = lo + (hi - lo) / 2;
    uint32_t at = (uint32_t)sa_[mid];
    uint32_t slen = size_ - at;
    uint32_t n = slen < qlen ? slen : qlen;
    int c = memcmp(old_ + at, q, n);
    if (c < 0 || (c == 0 && slen < qlen))
      lo = mid;
    else
      hi = mid;
  }
  uint32_t a = (uint32_t)sa_[lo], b = (uint32_t)sa_[hi];
  uint32_t la = CommonPrefix(old_ + a, q, size_ - a < qlen ? size_ - a : qlen);
  uint32_t lb = CommonPrefix(old_ + b, q, size_ - b < qlen ? size_ - b : qlen);
  if (lb > la || (lb == la && b < a)) {
    *pos = b;
    return lb;
  }
  *pos = a;
  return la;
}

namespace {

// The scan that lines the new file up against the old one. It walks the new
// file looking for exact matches that say more than simply carrying on with
// the alignment in force does; each time one is found the stretch since the
// previous one is closed: extended forward from the old alignment as long as
// more than half of its bytes agree, backward from the new match likewise,
// and what neither covers is new data.
void ScanOld(const OldIndex& index, const uint8_t* nw, int64_t nsize,
             std::vector<Segment>* out) {
  const uint8_t* old = index.data();
  const int64_t osize = index.size();
  auto agrees = [&](int64_t n, int64_t o) {
    return o >= 0 && o < osize && old[o] == nw[n];
  };

  int64_t scan = 0, len = 0, pos = 0;
  int64_t lastscan = 0, lastpos = 0, lastoffset = 0;
  while (scan < nsize) {
    int64_t oldscore = 0;
    int64_t scsc;
    for (scsc = scan += len; scan < nsize; scan++) {
      uint32_t p;
      len = index.Longest(nw + scan, (uint32_t)(nsize - scan), &p);
      pos = p;
      for (; scsc < scan + len; scsc++)
        if (agrees(scsc, scsc + lastoffset)) oldscore++;
      if ((len == oldscore && len != 0) || len > oldscore + 8) break;
      if (agrees(scan, scan + lastoffset)) oldscore--;
    }
    if (len == oldscore && scan != nsize) continue;

    // Forward from the previous match: the longest stretch in which more
    // than half the bytes agree.
    int64_t s = 0, best = 0, lenf = 0;
    for (int64_t i = 0; lastscan + i < scan && lastpos + i < osize;) {
      if (old[lastpos + i] == nw[lastscan + i]) s++;
      i++;
      if (s * 2 - i > best * 2 - lenf) {
        best = s;
        lenf = i;
      }
    }
    // Backward from the new match.
    int64_t lenb = 0;
    if (scan < nsize) {
      s = 0;
      best = 0;
      for (int64_t i = 1; scan >= lastscan + i && pos >= i; i++) {
        if (old[pos - i] == nw[scan - i]) s++;
        if (s * 2 - i > best * 2 - lenb) {
          best = s;
          lenb = i;
        }
      }
    }
    // Where the two stretches overlap, split them where the forward one
    // agrees best relative to the backward one.
    if (lastscan + lenf > scan - lenb) {
      int64_t overlap = (lastscan + lenf) - (scan - lenb);
      s = 0;
      best = 0;
      int64_t lens = 0;
      for (int64_t i = 0; i < overlap; i++) {
        if (nw[lastscan + lenf - overlap + i] ==
            old[lastpos + lenf - overlap + i])
          s++;
        if (nw[scan - lenb + i] == old[pos - lenb + i]) s--;
        if (s > best) {
          best = s;
          lens = i + 1;
        }
      }
      lenf += lens - overlap;
      lenb -= lens;
    }
    if (lenf > 0)
      out->push_back(
          Segment{(uint32_t)lastscan, (uint32_t)lastpos, (uint32_t)lenf});
    lastscan = scan - lenb;
    lastpos = pos - lenb;
    lastoffset = pos - scan;
  }
}

// Repeats of the new file's own earlier bytes inside the stretches that no
// old segment covers, found through a hash chain over the new file.
class SelfMatcher {
 public:
  SelfMatcher(const uint8_t* nw, uint32_t nsize)
      : nw_(nw), nsize_(nsize), head_(1u << kHashBits, kNone),
        prev_(nsize, kNone) {}

  // Longest earlier repeat of [at, limit) that ends at or before `at`.
  uint32_t Find(uint32_t at, uint32_t limit, uint32_t* src) {
    AddUpTo(at);
    *src = 0;
    if (at + kKey > nsize_ || limit < at + kKey) return 0;
    uint32_t best = 0;
    int budget = kChainBudget;
    for (uint32_t c = head_[Hash(at)]; c != kNone && budget-- > 0;
         c = prev_[c]) {
      uint32_t room = at - c;  // never overlap the bytes being produced
      uint32_t n = limit - at < room ? limit - at : room;
      if (n <= best) continue;
      uint32_t l = CommonPrefix(nw_ + c, nw_ + at, n);
      if (l > best) {
        best = l;
        *src = c;
      }
    }
    return best;
  }

 private:
  enum : uint32_t { kHashBits = 20, kKey = 8, kNone = 0xFFFFFFFFu };
  enum { kChainBudget = 48 };

  uint32_t Hash(uint32_t p) const {
    uint64_t v;
    memcpy(&v, nw_ + p, 8);
    return (uint32_t)((v * 0x9E3779B97F4A7C15ull) >> (64 - kHashBits));
  }
  void AddUpTo(uint32_t at) {
    for (; added_ < at && added_ + kKey <= nsize_; added_++) {
      uint32_t h = Hash(added_);
      prev_[added_] = head_[h];
      head_[h] = added_;
    }
  }

  const uint8_t* nw_;
  uint32_t nsize_;
  std::vector<uint32_t> head_;
  std::vector<uint32_t> prev_;
  uint32_t added_ = 0;
};

void AddSelfMatches(const uint8_t* nw, uint32_t nsize, uint32_t old_size,
                    uint32_t min_len, std::vector<Segment>* segs) {
  SelfMatcher m(nw, nsize);
  std::vector<Segment> out;
  out.reserve(segs->size());
  uint32_t cur = 0;
  auto fill_gap = [&](uint32_t end) {
    uint32_t p = cur;
    while (end - p >= min_len) {
      uint32_t src;
      uint32_t l = m.Find(p, end, &src);
      if (l >= min_len) {
        out.push_back(Segment{p, old_size + src, l});
        p += l;
      } else {
        p++;
      }
    }
  };
  for (const Segment& s : *segs) {
    fill_gap(s.new_pos);
    out.push_back(s);
    cur = s.new_pos + s.len;
  }
  fill_gap(nsize);
  segs->swap(out);
}

}  // namespace

std::vector<Segment> FindSegments(const OldIndex& index,
                                  const uint8_t* new_data, uint32_t new_size,
                                  const MatchOptions& options) {
  std::vector<Segment> segs;
  ScanOld(index, new_data, new_size, &segs);
  if (options.self_reference &&
      (uint64_t)index.size() + new_size <= 0x7FFFFFFFu)
    AddSelfMatches(new_data, new_size, index.size(), options.min_self_match,
                   &segs);
  return segs;
}

// Dropped, a chance match's bytes are new data, or differences against the
// alignment in force.
void TidySegments(uint32_t old_size, std::vector<Segment>* segs,
                  uint32_t min_isolated, uint32_t max_gap) {
  auto off = [](const Segment& g) { return (int64_t)g.src_pos - g.new_pos; };
  std::vector<Segment> kept;
  for (size_t i = 0; i < segs->size(); i++) {
    const Segment& g = (*segs)[i];
    if (g.len < min_isolated && !kept.empty() && off(kept.back()) != off(g))
      continue;
    kept.push_back(g);
  }
  std::vector<Segment> merged;
  for (const Segment& g : kept) {
    if (!merged.empty()) {
      Segment& m = merged.back();
      uint32_t end = m.new_pos + m.len;
      if (off(m) == off(g) && g.new_pos >= end && g.new_pos - end <= max_gap &&
          m.src_pos < old_size && g.src_pos < old_size) {
        m.len = g.new_pos + g.len - m.new_pos;
        continue;
      }
    }
    merged.push_back(g);
  }
  segs->swap(merged);
}

}  // namespace maker
