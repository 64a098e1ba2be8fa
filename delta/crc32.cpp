// zlib's crc32 does the table work; it complements on the way in and out,
// so the raw register is complemented around it.
//
// A file range that reaches past the end of the file (a hole offset beyond
// the file's size, a file that shrank, a read that fails) stops where the
// reading stops: the missing bytes are never fed. Callers compare the file's
// size with the expected size before they take its sum, so a well-formed
// payload never asks for such a range.
#include "delta/crc32.h"

#include <zlib.h>

enum { kCrcPiece = 1024 };

uint32_t CrcUpdate(const void* data, int32_t len, uint32_t reg) {
  if (len <= 0 || !data) return reg;
  return ~(uint32_t)crc32(~reg & 0xFFFFFFFFu, (const Bytef*)data, (uInt)len);
}

uint32_t CrcFileRange(const Platform* os, PlatformFile f, int32_t start,
                      int32_t end, uint32_t reg) {
  // Bytes before the start of a file do not exist either.
  if (start < 0) start = 0;
  os->seek(f, start);
  uint8_t buf[kCrcPiece];
  while (start < end) {
    int32_t n = end - start < kCrcPiece ? end - start : kCrcPiece;
    int32_t got = 0;
    bool ok = os->read(f, buf, n, &got);
    if (got < 0 || got > n) got = 0;
    if (ok) reg = CrcUpdate(buf, got, reg);
    if (!ok || got < n) {
      // Leave the position where a complete range would have.
      os->seek(f, end);
      break;
    }
    start += n;
  }
  return reg;
}

uint32_t CrcFileWithHole(const Platform* os, PlatformFile f,
                         uint32_t hole_offset, uint32_t hole_length) {
  uint32_t size = os->file_size(f);
  if (size == kInvalidSize) size = 0;
  if (size > 0x7FFFFFFFu) size = 0x7FFFFFFFu;  // outside the format
  if (hole_length == 0) return CrcFileRange(os, f, 0, (int32_t)size, kCrcPreset);
  // 64-bit sums so an offset or length near 2^32 cannot wrap.
  uint64_t hole_end = (uint64_t)hole_offset + hole_length;
  uint32_t before = hole_offset < size ? hole_offset : size;
  uint32_t after = hole_end < size ? (uint32_t)hole_end : size;
  uint32_t reg = CrcFileRange(os, f, 0, (int32_t)before, kCrcPreset);
  return CrcFileRange(os, f, (int32_t)after, (int32_t)size, reg);
}
