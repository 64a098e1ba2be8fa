// The delta encoder: the five streams of one source that turn an old file
// into a new one (delta/rebuild.h describes the streams and commands).
//
// The encoder lines the files up (maker/delta_match.h) and then lays the
// result out as commands in a few candidate ways: every agreeing stretch a
// copy with the differing bytes after it as its trailer (one trailer length
// for the whole file, trailer group size 0), or long runs of added insert
// pieces between copies of long exact stretches; different trailer lengths
// and insert block sizes. Each candidate's streams are deflated, and the
// smallest wins. The result depends only on the two files and the options,
// never on timing or threads.
#ifndef SELFPATCH_MAKER_DELTA_ENCODER_H
#define SELFPATCH_MAKER_DELTA_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "delta/source_record.h"

namespace maker {

struct DeltaOptions {
  // zlib level with which candidates are judged.
  int search_level = 6;
  // 0: one layout, no search; 1: a small search (trailer lengths of the
  // copy-per-mismatch layout); 2: a wide search (more trailer lengths,
  // insert block sizes, and the long-differences layout).
  int effort = 1;
  // Candidates judged at once.
  int threads = 1;
  // Copies from the new file's own earlier bytes.
  bool self_reference = true;
  // The payload will be deflated with zopfli, which favours the long
  // differences layout more than zlib does.
  bool zopfli_judge = false;
  // The source's CRC hole: old bytes that may differ on the user's
  // machine. No output byte outside the new file's hole is made from them.
  uint32_t old_hole_offset = 0;
  uint32_t old_hole_length = 0;
  // The new file's hole. When it is as long as the old one, the old hole's
  // bytes are copied into it, so what the user had there stays.
  uint32_t new_hole_offset = 0;
  uint32_t new_hole_length = 0;
};

// How the commands are laid out; the encoder searches over these.
struct DeltaLayout {
  // 0: one trailer length for every copy (trailer group size 0);
  // 1: a trailer length per copy (trailer group size 1).
  int trailer_mode = 0;
  int trailer_len = 0;  // mode 0 only
  // Inside an aligned stretch, an exact run shorter than this stays inside
  // the differences instead of becoming a copy.
  int min_copy = 8;
  int block = 64;  // insert block size, 1..255
  // Insert pieces of new bytes: store them added when at least this share
  // (in 1/16) of their differences against the aligned old bytes is zero.
  int added_zero_share = 4;
  // Drop chance matches at alignments of their own before laying out
  // (maker/delta_match.h, TidySegments).
  bool tidy = false;
};

struct EncodedDelta {
  // old_size, stream lengths, trailer group size, flags and insert block
  // size are set; old_checksum is left 0 for the caller, who knows the
  // source's CRC hole.
  SourceRecord record;
  std::vector<uint8_t> streams[kStreamCount];
  DeltaLayout layout;    // the winning candidate
  size_t judged_size;    // its streams deflated as last judged
  size_t command_count;  // copies and inserts, for reports
};

EncodedDelta EncodeDelta(const uint8_t* old_data, uint32_t old_size,
                         const uint8_t* new_data, uint32_t new_size,
                         const DeltaOptions& options);

// One given layout, no search (tests and experiments).
EncodedDelta EncodeDeltaWithLayout(const uint8_t* old_data, uint32_t old_size,
                                   const uint8_t* new_data, uint32_t new_size,
                                   const DeltaLayout& layout,
                                   const DeltaOptions& options);

// The five streams back to back, as the payload holds them.
std::vector<uint8_t> JoinStreams(const EncodedDelta& d);

}  // namespace maker

#endif
