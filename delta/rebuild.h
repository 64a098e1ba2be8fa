// The rebuild: one source's delta applied to an old file gives the next
// version of the file.
//
// Five streams per source, back to back in the payload in this order:
//
//   stream    holds                                          read as
//   command   packed-number bytes, trailer length bytes      bytes
//   flag      3rd/4th-byte continuation bits, one
//             added(0)/raw(1) bit per insert piece           bits, LSB first
//   sign      2nd-byte continuation bit and the sign bit
//             of every packed number                         bits, LSB first
//   insert    insert bytes, raw or as differences            bytes
//   trailer   trailer bytes after copies, raw or differences bytes
//
// Packed number (signed 32-bit): byte 0 from the command stream; if the
// width bound > 255, a sign-stream bit says whether byte 1 follows; if byte
// 1 came and the bound > 65535, a flag-stream bit says whether byte 2
// follows; if byte 2 came and the bound > 16777215, a flag-stream bit says
// whether byte 3 follows. The magnitude is little-endian; then one sign-stream
// bit, 1 = negative. The width bound is old size + new size with
// self-reference, else the larger of the two.
//
// Commands, each starting with a packed number N:
//   N > 0  copy N bytes of the source space at P + L + D (D: a packed number
//          that follows; P, L: the previous copy's position and length), then
//          the trailer. The first copy of a trailer group reads the group's
//          trailer length T (one command byte); a group is trailer-group-size
//          copy and skip commands. T trailer bytes follow each copy, added to
//          the source-space bytes at P + L unless trailers are raw.
//   N < 0  insert -N bytes from the insert stream, in pieces of the block
//          size (the last piece takes the rest plus one block), each piece
//          with a flag bit: 0 = added to the source-space bytes at
//          P + L + T + done, 1 = raw.
//   N = 0  skip: takes a place in the trailer group, writes nothing.
//
// The source space is the old file (positions 0 .. old size - 1) followed by
// the output written so far, so a copy may repeat earlier new bytes.
//
// Where the format leaves bytes undefined, this rebuild defines them, so a
// malformed delta gives the same (wrong) output every time and the caller's
// size and checksum comparison rejects it:
//   - A source-space read takes its file from the position of its first byte
//     (a position below old size, negative ones included, reads the old
//     file); every byte of the request outside what that file holds so far
//     (before 0, at or past old size, past the output written so far, past
//     the real end of the old file) reads as 0.
//   - A copy from the output that reaches into the bytes it is producing
//     repeats the run, as LZ77 does: byte k of the copy is output byte
//     (start + k), already written by the time it is needed.
//   - A stream that ends early reads as zero bytes (zero bits).
// Sources refused with code 1 before any command runs: an insert block size
// of 0 (an insert could never finish) and an old size of 2^31 or more.
// A command that would take the output past 2^31 - 1 bytes stops the rebuild
// with code 1 before it writes anything; one that would take it past the
// expected size new_size (but not past 2^31 - 1) stops it with code 12, also
// before it writes anything. So the output never holds more than new_size
// bytes, whatever the delta asks for.
#ifndef SELFPATCH_DELTA_REBUILD_H
#define SELFPATCH_DELTA_REBUILD_H

#include <stdint.h>

#include "delta/source_record.h"
#include "messages/codes.h"
#include "platform/platform.h"

// What one rebuild reads and writes. The rebuild keeps its own small buffer
// per stream, checks every request against what exists and zero-fills the
// rest, and keeps the CRC register and byte count itself; the functions only
// move bytes. All return false when the underlying read or write fails.
struct RebuildIo {
  void* ctx;
  // The next bytes of stream `which` (kCommandStream .. kTrailerStream),
  // consumed in order from the stream's first byte. *got receives how many
  // came; fewer than n (or 0) at the end of the stream is not a failure.
  bool (*read_stream)(void* ctx, int which, uint8_t* buf, int32_t n,
                      int32_t* got);
  // n bytes of the old file at pos, 0 <= pos < old size; *got as above.
  bool (*read_old)(void* ctx, int32_t pos, uint8_t* buf, int32_t n,
                   int32_t* got);
  // n bytes of the output at pos, all of them already appended. Appends
  // that follow must still go to the end of the output.
  bool (*read_output)(void* ctx, int32_t pos, uint8_t* buf, int32_t n,
                      int32_t* got);
  // Appends n bytes; false unless all n were stored (or, for an io that
  // gathers small appends, accepted for storing).
  bool (*append_output)(void* ctx, const uint8_t* buf, int32_t n);
  // Called once when the command loop ends, whatever the result, to store
  // what the io still holds; false when that fails, which makes the result
  // 38 (the failed write preceded any later failure). May be null.
  bool (*finish)(void* ctx);
  // Called once before every command so a window stays responsive; may be
  // null. WindowHooks::pump fits as is.
  void (*pump)(void* pump_ctx);
  void* pump_ctx;
};

// What the caller judges the output by.
struct RebuildResult {
  uint32_t crc;        // register over every byte given to append_output
  int32_t byte_count;  // bytes given to append_output, failed ones included
};

// Runs the commands of one source. new_size is the expected size of the
// output: it sets the width bound and the most the output may hold. Returns
// 0, 1 (a delta stream or a source-space read for differences failed, the
// source is refused, or a command would pass 2^31 - 1 bytes), 12 (a command
// would take the output past new_size) or 38 (a copy or an output write
// failed, or finish failed). *out is filled whatever the result; a result of
// 0 still leaves comparing the output's size and checksum to the caller, as
// a delta may end short of new_size.
MsgCode Rebuild(const SourceRecord* rec, int32_t new_size, const RebuildIo* io,
                RebuildResult* out);

// --- Files ------------------------------------------------------------------
// The applier's form: the old file open for reading, the output newly
// created and open for reading and writing (positioned at its start), and
// the five streams readable from their first byte (the staging pass copies
// each into a temporary file and rewinds it). Neither opens nor closes a
// file. Nothing is allocated: appends smaller than 1024 bytes (insert
// pieces, trailers) are gathered in `pending` and written in blocks of at
// most 1024 bytes, at the latest when the rebuild ends, so every byte is in
// the file when Rebuild returns; reads of the old file smaller than 1024
// bytes (added pieces and trailers) are served from a 1024-byte read-ahead.
enum { kFileRebuildGather = 1024 };
struct FileRebuild {
  const Platform* os;
  PlatformFile old_file;
  PlatformFile output;
  PlatformFile stream[kStreamCount];
  // Bookkeeping of the io functions.
  int32_t output_end;  // bytes stored in the output: where appends go
  int32_t old_pos;     // the old file's position when known, else -1
  int32_t pending_len;
  int32_t ahead_pos;  // old-file position of ahead[0]
  int32_t ahead_len;
  uint8_t pending[kFileRebuildGather];
  uint8_t ahead[kFileRebuildGather];
};

// Fills *f and returns the io table over it; pump may be null.
RebuildIo FileRebuildIo(FileRebuild* f, const Platform* os,
                        PlatformFile old_file, PlatformFile output,
                        const PlatformFile stream[kStreamCount],
                        void (*pump)(void*), void* pump_ctx);

MsgCode RebuildFiles(const Platform* os, const SourceRecord* rec,
                     int32_t new_size, PlatformFile old_file,
                     PlatformFile output,
                     const PlatformFile stream[kStreamCount],
                     void (*pump)(void*), void* pump_ctx, RebuildResult* out);

// --- Memory -------------------------------------------------------------------
// The maker's form, to check every delta it writes: old bytes, the five
// streams as byte ranges, the output in a buffer grown with realloc.
struct MemRebuild {
  const uint8_t* old_data;
  int32_t old_len;
  const uint8_t* stream[kStreamCount];
  int32_t stream_len[kStreamCount];
  int32_t stream_pos[kStreamCount];  // bytes handed out so far
  uint8_t* out;     // malloc'd; the caller frees it with MemRebuildFree
  int32_t out_len;
  int32_t out_cap;
  // Appends that would take the output past this many bytes fail (code 38),
  // so a malformed delta cannot claim unbounded memory. Defaults to 2^31 - 1.
  int32_t out_limit;
};

// The streams lie back to back at `streams`, with the lengths of the record
// (the layout of the payload); streams_len bounds them all, and a stream
// reaching past it ends early.
void MemRebuildInit(MemRebuild* m, const uint8_t* old_data, int32_t old_len,
                    const SourceRecord* rec, const uint8_t* streams,
                    int32_t streams_len);
RebuildIo MemRebuildIo(MemRebuild* m);
void MemRebuildFree(MemRebuild* m);

// Init, Rebuild and hand over: on return *m holds the output (free it with
// MemRebuildFree), whatever the result.
MsgCode RebuildInMemory(const SourceRecord* rec, int32_t new_size,
                        const uint8_t* old_data, int32_t old_len,
                        const uint8_t* streams, int32_t streams_len,
                        MemRebuild* m, RebuildResult* out);

#endif
