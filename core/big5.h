// Walking code page 950 (Big5) byte strings a character at a time.
//
// A Big5 double-byte character is a lead byte 0x81-0xFE followed by a trail
// byte 0x40-0x7E or 0xA1-0xFE. The trail range holds '\' (0x5C) and ASCII
// letters: 許 is B3 5C, 功 is A5 5C. A walk that looks at single bytes takes
// such a trail byte for a path separator and splits a name in the middle of
// a character. Walks that look for separators therefore step with
// Big5CharLen, so that a lead byte always takes its trail byte with it.
//
// '/' (0x2F), ':' and '.' are below 0x40 and never trail bytes. A lead byte
// followed by a byte that cannot be a trail byte, or by the end of the
// string, is a character of one byte: the next byte is looked at on its own,
// so a '/' or the NUL after a stray lead byte is never swallowed.
#ifndef SELFPATCH_CORE_BIG5_H
#define SELFPATCH_CORE_BIG5_H

#include <stdint.h>

inline bool Big5IsLeadByte(uint8_t b) { return b >= 0x81 && b <= 0xFE; }

inline bool Big5IsTrailByte(uint8_t b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0xA1 && b <= 0xFE);
}

// Bytes taken by the character at s, of the n bytes left (n >= 1): 2 for a
// lead byte followed by a trail byte, otherwise 1.
inline int32_t Big5CharLen(const char* s, int32_t n) {
  return n >= 2 && Big5IsLeadByte((uint8_t)s[0]) &&
                 Big5IsTrailByte((uint8_t)s[1])
             ? 2
             : 1;
}

// The same for a NUL-terminated string: the NUL is never a trail byte.
inline int32_t Big5CharLenZ(const char* s) {
  return Big5IsLeadByte((uint8_t)s[0]) && Big5IsTrailByte((uint8_t)s[1]) ? 2
                                                                          : 1;
}

inline bool Big5IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// Position of the last '\' or '/' of the first n bytes of s that stands as
// a character of its own, or -1 when there is none.
inline int32_t Big5LastSeparator(const char* s, int32_t n) {
  int32_t last = -1;
  for (int32_t i = 0; i < n;) {
    int32_t step = Big5CharLen(s + i, n - i);
    if (step == 1 && Big5IsPathSeparator(s[i])) last = i;
    i += step;
  }
  return last;
}

// Whether the last character of the first n bytes of s is the single byte c
// (an ASCII byte below 0x80), not the trail byte of a double-byte character.
inline bool Big5EndsWith(const char* s, int32_t n, char c) {
  int32_t last = -1;
  for (int32_t i = 0; i < n;) {
    int32_t step = Big5CharLen(s + i, n - i);
    last = step == 1 ? i : -1;
    i += step;
  }
  return last >= 0 && s[last] == c;
}

#endif
