// Finding where the new file lines up with the old one.
//
// The result is a list of aligned segments in new-file order: new bytes
// [new_pos, new_pos + len) set against source-space bytes [src_pos, ...).
// A segment is not an exact match: it is a stretch where most bytes agree
// and the rest differ by what deflate then finds cheap to store (code that
// moved keeps its shape while its addresses change). Bytes of the new file
// in no segment are new.
//
// Source positions below old size are old-file bytes; positions from old
// size on are bytes of the new file itself, and such a segment always lies
// wholly before its own start in the new file (src_pos - old size + len <=
// new_pos), so the rebuild has written them when it reads them.
#ifndef SELFPATCH_MAKER_DELTA_MATCH_H
#define SELFPATCH_MAKER_DELTA_MATCH_H

#include <stdint.h>

#include <vector>

namespace maker {

struct Segment {
  uint32_t new_pos;
  uint32_t src_pos;
  uint32_t len;
};

// The suffix array of the old file (libdivsufsort), shared by the searches.
class OldIndex {
 public:
  OldIndex(const uint8_t* old_data, uint32_t old_size);
  // Longest prefix of q[0, qlen) that occurs in the old file; its position
  // goes to *pos. 0 when there is none.
  uint32_t Longest(const uint8_t* q, uint32_t qlen, uint32_t* pos) const;

  const uint8_t* data() const { return old_; }
  uint32_t size() const { return size_; }

 private:
  const uint8_t* old_;
  uint32_t size_;
  std::vector<int32_t> sa_;
};

struct MatchOptions {
  // Look for repeats of the new file's own earlier bytes in what matches
  // nothing in the old file.
  bool self_reference = true;
  // Shortest repeat of the new file that is worth a copy.
  uint32_t min_self_match = 24;
};

std::vector<Segment> FindSegments(const OldIndex& index,
                                  const uint8_t* new_data, uint32_t new_size,
                                  const MatchOptions& options);

// Drops segments shorter than min_isolated whose alignment differs from the
// one before them (chance matches, mostly: each would cost a copy with a far
// offset and break the alignment around it), then joins neighbours of one
// alignment in the old file that at most max_merge_gap new bytes separate.
void TidySegments(uint32_t old_size, std::vector<Segment>* segs,
                  uint32_t min_isolated = 16, uint32_t max_merge_gap = 64);

}  // namespace maker

#endif
