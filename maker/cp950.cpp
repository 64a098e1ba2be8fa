#include "maker/cp950.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>


namespace maker {

namespace {

// Length of the UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8Len(const std::string& s, size_t i, unsigned* cp) {
  unsigned char c = (unsigned char)s[i];
  size_t n;
  unsigned u;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    u = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    u = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    u = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; k++) {
    unsigned char t = (unsigned char)s[i + k];
    if ((t & 0xC0) != 0x80) return 0;
    u = (u << 6) | (t & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((n == 3 && u < 0x800) || (n == 4 && (u < 0x10000 || u > 0x10FFFF)) ||
      (u >= 0xD800 && u <= 0xDFFF))
    return 0;
  *cp = u;
  return n;
}

int LineAt(const std::string& s, size_t i) {
  int line = 1;
  for (size_t k = 0; k < i; k++)
    if (s[k] == '\n') line++;
  return line;
}

}  // namespace

std::string Utf8ToCp950(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  iconv_t cd = iconv_open("CP950", "UTF-8");
  if (cd == (iconv_t)-1) throw TextError("iconv cannot convert to CP950");
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned cp;
    size_t n = Utf8Len(utf8, i, &cp);
    if (n == 0) {
      iconv_close(cd);
      char b[8];
      snprintf(b, sizeof b, "0x%02X", (unsigned char)utf8[i]);
      throw TextError("line " + std::to_string(LineAt(utf8, i)) +
                      ": byte " + b + " is not UTF-8");
    }
    if (n == 1) {
      out.push_back(utf8[i]);
      i++;
      continue;
    }
    // One character at a time, so a failure names exactly its character.
    char in[4], res[8];
    for (size_t k = 0; k < n; k++) in[k] = utf8[i + k];
    char* ip = in;
    char* op = res;
    size_t il = n, ol = sizeof res;
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    if (r == (size_t)-1 || il != 0 || r != 0) {
      iconv_close(cd);
      char b[16];
      snprintf(b, sizeof b, "U+%04X", cp);
      throw TextError("line " + std::to_string(LineAt(utf8, i)) + ": " + b +
                      " '" + utf8.substr(i, n) +
                      "' has no code page 950 form");
    }
    out.append(res, (size_t)(op - res));
    i += n;
  }
  iconv_close(cd);
  return out;
}

}  // namespace maker
