// Small stand-ins for zlib's crc32 and adler32, linked into the stub only.
//
// zlib's own versions carry about 10 KB of precomputed tables and unrolled
// loops, a sixth of the stub's budget. Defined here, the linker takes these
// and never pulls crc32.o or adler32.o out of libz.a. The results are the
// same as zlib's (same polynomial, same pre- and post-complement, same
// modulus); only the speed differs. The applier sums the files it patches
// with crc32, a few megabytes at a time, where one table lookup per byte is
// plenty; adler32 is only referenced by zlib's inflate for zlib-wrapped
// streams, which the stub never reads.
#include <zlib.h>

#include <stdint.h>

namespace {

uint32_t g_crc_table[256];  // reflected 0xEDB88320, built on first use

void BuildCrcTable(void) {
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    g_crc_table[n] = c;
  }
}

}  // namespace

extern "C" uLong ZEXPORT crc32(uLong crc, const Bytef* buf, uInt len) {
  if (!buf) return 0;
  if (g_crc_table[1] == 0) BuildCrcTable();
  uint32_t c = ~(uint32_t)crc;
  while (len--) c = g_crc_table[(c ^ *buf++) & 0xFF] ^ (c >> 8);
  return ~c;
}

extern "C" uLong ZEXPORT adler32(uLong adler, const Bytef* buf, uInt len) {
  if (!buf) return 1;
  const uint32_t kBase = 65521;
  const uInt kMaxRun = 5552;  // largest run before the sums can overflow
  uint32_t a = (uint32_t)adler & 0xFFFF;
  uint32_t b = ((uint32_t)adler >> 16) & 0xFFFF;
  while (len > 0) {
    uInt run = len < kMaxRun ? len : kMaxRun;
    len -= run;
    while (run--) {
      a += *buf++;
      b += a;
    }
    a %= kBase;
    b %= kBase;
  }
  return (uLong)(b << 16 | a);
}
