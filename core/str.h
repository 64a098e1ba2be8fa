// Counted 8-bit strings with a fixed capacity.
//
// Every text the applier handles is a byte string in code page 950: paths,
// entry names, log lines. The applier links no C++ runtime (the stub has a
// 64 KiB budget), so strings live in fixed buffers instead of std::string.
//
// The capacity covers the longest path the payload can describe: a target
// folder of at most 1024 bytes, a backup folder name and an entry name of at
// most 255 bytes each, and the separators. Appending past the capacity keeps
// what fits and sets `overflow`; path builders check it and refuse the path
// rather than touch a truncated name.
#ifndef SELFPATCH_CORE_STR_H
#define SELFPATCH_CORE_STR_H

#include <stdint.h>
#include <string.h>

enum { kStrCap = 2048 };  // bytes, terminating NUL included

struct Str {
  int32_t len;       // bytes in s, not counting the NUL kept at s[len]
  bool overflow;     // an append did not fit; the text is cut
  char s[kStrCap];
};

inline void StrClear(Str* d) {
  d->len = 0;
  d->overflow = false;
  d->s[0] = 0;
}

inline void StrCat(Str* d, const char* src, int32_t n) {
  if (n < 0) n = 0;
  int32_t room = kStrCap - 1 - d->len;
  if (n > room) {
    n = room;
    d->overflow = true;
  }
  memmove(d->s + d->len, src, (size_t)n);
  d->len += n;
  d->s[d->len] = 0;
}

inline void StrCatZ(Str* d, const char* z) { StrCat(d, z, (int32_t)strlen(z)); }

inline void StrCatCh(Str* d, char c) { StrCat(d, &c, 1); }

inline void StrCatStr(Str* d, const Str* src) {
  StrCat(d, src->s, src->len);
  if (src->overflow) d->overflow = true;
}

inline void StrSet(Str* d, const char* src, int32_t n) {
  StrClear(d);
  StrCat(d, src, n);
}

inline void StrSetZ(Str* d, const char* z) { StrSet(d, z, (int32_t)strlen(z)); }

inline void StrCopy(Str* d, const Str* src) {
  if (d == src) return;
  StrClear(d);
  StrCatStr(d, src);
}

inline bool StrEqZ(const Str* a, const char* z) {
  size_t n = strlen(z);
  return (size_t)a->len == n && memcmp(a->s, z, n) == 0;
}

// Joins parts with exactly one '\' between each pair, whatever the parts end
// or begin with, so "C:\App\" + "F.dll" gives "C:\App\\F.dll" as the file
// system is then asked for. Returns false when the result did not fit.
inline bool StrJoin2(Str* d, const Str* a, const Str* b) {
  StrCopy(d, a);
  StrCatCh(d, '\\');
  StrCatStr(d, b);
  return !d->overflow;
}

inline bool StrJoin3(Str* d, const Str* a, const Str* b, const Str* c) {
  StrJoin2(d, a, b);
  StrCatCh(d, '\\');
  StrCatStr(d, c);
  return !d->overflow;
}

#endif
