#include "maker/json.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <set>

namespace maker {

const Json* Json::Find(const std::string& key) const {
  for (const auto& m : members)
    if (m.first == key) return &m.second;
  return nullptr;
}

std::string Json::Where() const {
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

const char* Json::KindName() const {
  switch (kind) {
    case kNull: return "null";
    case kBool: return "a boolean";
    case kNumber: return "a number";
    case kString: return "a string";
    case kArray: return "an array";
    case kObject: return "an object";
  }
  return "?";
}

namespace {

class Parser {
 public:
  explicit Parser(const std::string& t) : t_(t) {}

  Json Document() {
    Json v = Value(0);
    Space();
    if (i_ != t_.size()) Fail("unexpected text after the JSON value");
    return v;
  }

 private:
  enum { kMaxDepth = 200 };

  [[noreturn]] void Fail(const std::string& what) {
    throw JsonError("line " + std::to_string(line_) + ", column " +
                    std::to_string(i_ - line_start_ + 1) + ": " + what);
  }

  void Space() {
    while (i_ < t_.size()) {
      char c = t_[i_];
      if (c == '\n') {
        i_++;
        line_++;
        line_start_ = i_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        i_++;
      } else {
        break;
      }
    }
  }

  Json Value(int depth) {
    if (depth > kMaxDepth) Fail("nested too deeply");
    Space();
    if (i_ >= t_.size()) Fail("a value is missing");
    Json v;
    v.line = line_;
    v.column = (int)(i_ - line_start_ + 1);
    char c = t_[i_];
    if (c == '{') {
      v.kind = Json::kObject;
      i_++;
      std::set<std::string> seen;
      Space();
      if (Peek('}')) return v;
      for (;;) {
        Space();
        if (i_ >= t_.size() || t_[i_] != '"') Fail("a member name is expected");
        size_t key_at = i_;
        std::string key = String();
        if (!seen.insert(key).second) {
          i_ = key_at;
          Fail("member \"" + key + "\" repeated");
        }
        Space();
        Expect(':');
        Json m = Value(depth + 1);
        v.members.emplace_back(std::move(key), std::move(m));
        Space();
        if (Peek('}')) return v;
        Expect(',');
      }
    }
    if (c == '[') {
      v.kind = Json::kArray;
      i_++;
      Space();
      if (Peek(']')) return v;
      for (;;) {
        v.items.push_back(Value(depth + 1));
        Space();
        if (Peek(']')) return v;
        Expect(',');
      }
    }
    if (c == '"') {
      v.kind = Json::kString;
      v.text = String();
      return v;
    }
    if (Word("true")) {
      v.kind = Json::kBool;
      v.b = true;
      return v;
    }
    if (Word("false")) {
      v.kind = Json::kBool;
      return v;
    }
    if (Word("null")) return v;
    if (c == '-' || (c >= '0' && c <= '9')) {
      Number(&v);
      return v;
    }
    Fail(std::string("unexpected character '") + c + "'");
  }

  bool Peek(char c) {
    if (i_ < t_.size() && t_[i_] == c) {
      i_++;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Peek(c)) Fail(std::string("'") + c + "' expected");
  }
  bool Word(const char* w) {
    size_t n = strlen(w);
    if (t_.compare(i_, n, w) != 0) return false;
    i_ += n;
    return true;
  }

  void Number(Json* v) {
    size_t st = i_;
    bool integral = true;
    Peek('-');
    if (Peek('0')) {
    } else if (i_ < t_.size() && t_[i_] >= '1' && t_[i_] <= '9') {
      while (i_ < t_.size() && isdigit((unsigned char)t_[i_])) i_++;
    } else {
      Fail("a digit is expected");
    }
    if (Peek('.')) {
      integral = false;
      if (i_ >= t_.size() || !isdigit((unsigned char)t_[i_]))
        Fail("a digit is expected after '.'");
      while (i_ < t_.size() && isdigit((unsigned char)t_[i_])) i_++;
    }
    if (i_ < t_.size() && (t_[i_] == 'e' || t_[i_] == 'E')) {
      integral = false;
      i_++;
      if (!Peek('+')) Peek('-');
      if (i_ >= t_.size() || !isdigit((unsigned char)t_[i_]))
        Fail("a digit is expected in the exponent");
      while (i_ < t_.size() && isdigit((unsigned char)t_[i_])) i_++;
    }
    v->kind = Json::kNumber;
    v->text = t_.substr(st, i_ - st);
    v->number = strtod(v->text.c_str(), nullptr);
    if (integral) {
      errno = 0;
      long long n = strtoll(v->text.c_str(), nullptr, 10);
      if (errno == 0) {
        v->integral = true;
        v->integer = n;
      }
    }
  }

  unsigned Hex4() {
    if (i_ + 4 > t_.size()) Fail("four hex digits expected after \\u");
    unsigned u = 0;
    for (int k = 0; k < 4; k++) {
      char c = t_[i_++];
      u <<= 4;
      if (c >= '0' && c <= '9') u |= (unsigned)(c - '0');
      else if (c >= 'a' && c <= 'f') u |= (unsigned)(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') u |= (unsigned)(c - 'A' + 10);
      else Fail("four hex digits expected after \\u");
    }
    return u;
  }

  static void PutUtf8(std::string* out, unsigned u) {
    if (u < 0x80) {
      out->push_back((char)u);
    } else if (u < 0x800) {
      out->push_back((char)(0xC0 | (u >> 6)));
      out->push_back((char)(0x80 | (u & 0x3F)));
    } else if (u < 0x10000) {
      out->push_back((char)(0xE0 | (u >> 12)));
      out->push_back((char)(0x80 | ((u >> 6) & 0x3F)));
      out->push_back((char)(0x80 | (u & 0x3F)));
    } else {
      out->push_back((char)(0xF0 | (u >> 18)));
      out->push_back((char)(0x80 | ((u >> 12) & 0x3F)));
      out->push_back((char)(0x80 | ((u >> 6) & 0x3F)));
      out->push_back((char)(0x80 | (u & 0x3F)));
    }
  }

  std::string String() {
    Expect('"');
    std::string out;
    for (;;) {
      if (i_ >= t_.size()) Fail("the string does not end");
      unsigned char c = (unsigned char)t_[i_];
      if (c == '"') {
        i_++;
        return out;
      }
      if (c < 0x20) Fail("a control character inside a string");
      if (c != '\\') {
        out.push_back((char)c);
        i_++;
        continue;
      }
      i_++;
      if (i_ >= t_.size()) Fail("the string does not end");
      char e = t_[i_++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          unsigned u = Hex4();
          if (u >= 0xD800 && u < 0xDC00) {
            if (t_.compare(i_, 2, "\\u") != 0) Fail("a lone surrogate");
            i_ += 2;
            unsigned lo = Hex4();
            if (lo < 0xDC00 || lo > 0xDFFF) Fail("a lone surrogate");
            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
          } else if (u >= 0xDC00 && u <= 0xDFFF) {
            Fail("a lone surrogate");
          }
          PutUtf8(&out, u);
          break;
        }
        default:
          Fail(std::string("unknown escape \\") + e);
      }
    }
  }

  const std::string& t_;
  size_t i_ = 0;
  int line_ = 1;
  size_t line_start_ = 0;
};

}  // namespace

Json ParseJson(const std::string& text) { return Parser(text).Document(); }

}  // namespace maker
