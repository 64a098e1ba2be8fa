// Raw deflate (no zlib header, no checksum, 32 KiB window) for the maker:
// zlib at a chosen level, or zopfli for the smallest stream it can find.
//
// The encoder also uses RawDeflatedSize to judge candidate layouts of a
// delta by the size deflate makes of them.
#ifndef SELFPATCH_MAKER_RAW_DEFLATE_H
#define SELFPATCH_MAKER_RAW_DEFLATE_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace maker {

// zlib levels 0..9. Throws std::runtime_error when zlib fails.
std::vector<uint8_t> DeflateZlib(const uint8_t* data, size_t size, int level);

// zopfli with the given number of iterations (15 is zopfli's default).
std::vector<uint8_t> DeflateZopfli(const uint8_t* data, size_t size,
                                   int iterations);

// zopfli over fixed parts of the input on `threads` threads, the parts'
// bit streams joined into one deflate stream (each part still sees the
// 32 KiB before it; an empty stored block, five bytes, byte-aligns the
// join). Parts of 128 KiB give zopfli's block splitting more room than
// bigger ones and lose next to nothing at their seams. The parts do not depend on the thread count, so the
// output does not either.
std::vector<uint8_t> DeflateZopfliParts(const uint8_t* data, size_t size,
                                        int iterations, int threads,
                                        size_t part_size = 1 << 17);

// Smaller than zlib at level 9 on delta streams, whose statistics change
// from stream to stream, for a few times zlib's time. A lazy parse
// (zopfli's) is cut into blocks the way zopfli cuts, by a cheaper cost;
// with `optimal` each block is then parsed again as a shortest path priced
// by its symbol statistics (eight rounds, as zopfli's iterations but with
// a bounded match search, much faster); trees and their headers are
// the cheapest zopfli's code finds. Parts of part_size bytes are parsed on
// `threads` threads, each still matching into the 32 KiB before it, and
// written as one stream; the output does not depend on the thread count.
// max_blocks bounds the blocks per part. Throws std::logic_error should
// the stream not inflate back.
std::vector<uint8_t> DeflateSplitBlocks(const uint8_t* data, size_t size,
                                        int threads,
                                        size_t part_size = 1 << 18,
                                        int max_blocks = 40,
                                        bool optimal = true);

// The length of DeflateZlib's output without keeping it.
size_t RawDeflatedSize(const uint8_t* data, size_t size, int level);

// Inflates a raw deflate stream; false when it is not one.
bool InflateRaw(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

}  // namespace maker

#endif
