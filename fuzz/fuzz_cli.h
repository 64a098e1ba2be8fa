// What the targets over the command-line tool share: a patch file made
// around a payload, a command run with its output captured, and checks that
// the output is well-formed UTF-8 and JSON.
#ifndef SELFPATCH_FUZZ_FUZZ_CLI_H
#define SELFPATCH_FUZZ_FUZZ_CLI_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <ctype.h>

#include <string>
#include <vector>

#include "container/container.h"
#include "fuzz/fuzz_support.h"

namespace fuzz_cli {

inline void PutLe16(std::string* s, size_t at, uint32_t v) {
  (*s)[at] = (char)(v & 0xFF);
  (*s)[at + 1] = (char)((v >> 8) & 0xFF);
}

inline void AppendLe32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; i++) s->push_back((char)((v >> (8 * i)) & 0xFF));
}

// A stored container holding the two texts and then the payload, after a
// few stub bytes. The fuzzer then changes only the payload, and an inserted
// or dropped byte does not break the container's lengths.
inline std::string StoredPatch(const std::string& notice,
                               const std::string& description,
                               const uint8_t* payload, size_t size) {
  std::string f = "MZ stub";
  size_t start = f.size();
  f.append(kContainerHeaderSize, '\0');
  const uint8_t magic[4] = {0x43, 0x84, 0x7F, 0x3E};
  f.replace(start, 4, (const char*)magic, 4);
  PutLe16(&f, start + kHeaderOffsetNoticeLength, (uint32_t)notice.size());
  PutLe16(&f, start + kHeaderOffsetDescriptionLength,
          (uint32_t)description.size());
  f += notice;
  f += description;
  f.append((const char*)payload, size);
  AppendLe32(&f, (uint32_t)(f.size() - start + kContainerTrailerSize));
  f.append((const char*)magic, 4);
  return f;
}

inline void WriteFileOrFail(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) FuzzFail("cannot write a scratch file", path);
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

struct Outcome {
  int status = 0;
  std::string out, err;
};

// Runs a command's main with argv and its two streams captured.
template <typename Main>
Outcome Run(Main main, std::vector<std::string> args) {
  Outcome r;
  char* out_buf = nullptr;
  char* err_buf = nullptr;
  size_t out_len = 0, err_len = 0;
  FILE* out = open_memstream(&out_buf, &out_len);
  FILE* err = open_memstream(&err_buf, &err_len);
  if (!out || !err) FuzzFail("open_memstream", "");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  r.status = main((int)args.size(), argv.data(), out, err);
  fclose(out);
  fclose(err);
  r.out.assign(out_buf, out_len);
  r.err.assign(err_buf, err_len);
  free(out_buf);
  free(err_buf);
  return r;
}

// Well-formed UTF-8 without NUL: what a terminal or a JSON reader takes.
inline bool ValidUtf8(const std::string& s, size_t* bad) {
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = (uint8_t)s[i];
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      n = 0;
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      *bad = i;
      return false;
    }
    if (c == 0 || n >= s.size() - i) {
      *bad = i;
      return false;
    }
    for (size_t k = 1; k <= n; k++) {
      uint8_t d = (uint8_t)s[i + k];
      if ((d & 0xC0) != 0x80) {
        *bad = i;
        return false;
      }
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      *bad = i;
      return false;
    }
    i += n + 1;
  }
  return true;
}

// A strict reading of one JSON value followed only by white space.
class JsonReader {
 public:
  explicit JsonReader(const std::string& s) : s_(s) {}
  bool Document() {
    Space();
    if (!Value(0)) return false;
    Space();
    return at_ == s_.size();
  }
  size_t at() const { return at_; }

 private:
  void Space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' ||
                               s_[at_] == '\t' || s_[at_] == '\r'))
      at_++;
  }
  bool Lit(const char* w) {
    size_t n = strlen(w);
    if (s_.compare(at_, n, w) != 0) return false;
    at_ += n;
    return true;
  }
  bool String() {
    if (at_ >= s_.size() || s_[at_] != '"') return false;
    at_++;
    while (at_ < s_.size()) {
      unsigned char c = (unsigned char)s_[at_++];
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (at_ >= s_.size()) return false;
        char e = s_[at_++];
        if (e == 'u') {
          for (int k = 0; k < 4; k++, at_++)
            if (at_ >= s_.size() || !isxdigit((unsigned char)s_[at_])) return false;
        } else if (!strchr("\"\\/bfnrt", e) || e == 0) {
          return false;
        }
      }
    }
    return false;
  }
  bool Number() {
    size_t start = at_;
    if (at_ < s_.size() && s_[at_] == '-') at_++;
    size_t digits = at_;
    while (at_ < s_.size() && isdigit((unsigned char)s_[at_])) at_++;
    if (at_ == digits) return false;
    if (at_ - digits > 1 && s_[digits] == '0') return false;
    return at_ > start;
  }
  bool Value(int depth) {
    if (depth > 64 || at_ >= s_.size()) return false;
    char c = s_[at_];
    if (c == '"') return String();
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      at_++;
      Space();
      if (at_ < s_.size() && s_[at_] == close) {
        at_++;
        return true;
      }
      for (;;) {
        Space();
        if (c == '{') {
          if (!String()) return false;
          Space();
          if (at_ >= s_.size() || s_[at_] != ':') return false;
          at_++;
          Space();
        }
        if (!Value(depth + 1)) return false;
        Space();
        if (at_ >= s_.size()) return false;
        if (s_[at_] == ',') {
          at_++;
          continue;
        }
        if (s_[at_] != close) return false;
        at_++;
        return true;
      }
    }
    if (c == 't') return Lit("true");
    if (c == 'f') return Lit("false");
    if (c == 'n') return Lit("null");
    return Number();
  }

  const std::string& s_;
  size_t at_ = 0;
};

inline bool ValidJson(const std::string& s, size_t* bad) {
  JsonReader r(s);
  bool ok = r.Document();
  if (!ok) *bad = r.at();
  return ok;
}

}  // namespace fuzz_cli

#endif
