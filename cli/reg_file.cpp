#include "cli/reg_file.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "platform/posix_registry.h"

namespace {

struct RootName {
  const char* name;
  RegKey key;
};

// The first name of each root is the one written.
const RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", 0x80000000u},
    {"HKEY_CURRENT_USER", 0x80000001u},
    {"HKEY_LOCAL_MACHINE", 0x80000002u},
    {"HKEY_USERS", 0x80000003u},
    {"HKEY_PERFORMANCE_DATA", 0x80000004u},
    {"HKEY_CURRENT_CONFIG", 0x80000005u},
    {"HKEY_DYN_DATA", 0x80000006u},
    {"HKCR", 0x80000000u},
    {"HKCU", 0x80000001u},
    {"HKLM", 0x80000002u},
    {"HKU", 0x80000003u},
    {"HKCC", 0x80000005u},
};

bool EqualNoCase(const std::string& a, const char* b) {
  size_t n = strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; i++) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = (char)(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = (char)(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// "ROOT\sub\key" into the root and the subkey below it.
bool SplitKey(const std::string& full, RegKey* root, std::string* sub) {
  size_t cut = full.find('\\');
  std::string head = full.substr(0, cut);
  for (const RootName& r : kRoots) {
    if (EqualNoCase(head, r.name)) {
      *root = r.key;
      *sub = cut == std::string::npos ? std::string() : full.substr(cut + 1);
      return true;
    }
  }
  return false;
}

const char* RootText(RegKey root) {
  for (const RootName& r : kRoots)
    if (r.key == root) return r.name;
  return nullptr;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) a++;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) b--;
  return s.substr(a, b - a);
}

// A quoted string starting at s[*i] == '"'; *i ends after the closing quote.
bool ParseQuoted(const std::string& s, size_t* i, std::string* out) {
  out->clear();
  size_t p = *i + 1;
  while (p < s.size()) {
    char c = s[p];
    if (c == '"') {
      *i = p + 1;
      return true;
    }
    if (c == '\\' && p + 1 < s.size() &&
        (s[p + 1] == '\\' || s[p + 1] == '"')) {
      out->push_back(s[p + 1]);
      p += 2;
      continue;
    }
    out->push_back(c);
    p++;
  }
  return false;
}

// "aa,bb,..." (spaces allowed around the bytes); an empty list is no bytes.
bool ParseHexList(const std::string& text, std::string* out) {
  out->clear();
  std::string t = Trim(text);
  if (t.empty()) return true;
  size_t p = 0;
  for (;;) {
    while (p < t.size() && (t[p] == ' ' || t[p] == '\t')) p++;
    if (p + 2 > t.size()) return false;
    int hi = HexDigit(t[p]), lo = HexDigit(t[p + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back((char)(hi * 16 + lo));
    p += 2;
    while (p < t.size() && (t[p] == ' ' || t[p] == '\t')) p++;
    if (p == t.size()) return true;
    if (t[p] != ',') return false;
    p++;
  }
}

bool ParseData(const std::string& text, uint32_t* type, std::string* data,
               std::string* why) {
  std::string t = Trim(text);
  if (!t.empty() && t[0] == '"') {
    size_t i = 0;
    if (!ParseQuoted(t, &i, data) || !Trim(t.substr(i)).empty()) {
      *why = "unterminated or malformed string value";
      return false;
    }
    data->push_back('\0');
    *type = kRegSz;
    return true;
  }
  if (t.compare(0, 6, "dword:") == 0) {
    std::string digits = Trim(t.substr(6));
    if (digits.empty() || digits.size() > 8) {
      *why = "dword needs 1 to 8 hex digits";
      return false;
    }
    uint32_t v = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) {
        *why = "dword needs hex digits";
        return false;
      }
      v = v * 16 + (uint32_t)d;
    }
    data->assign(4, '\0');
    for (int k = 0; k < 4; k++) (*data)[k] = (char)(v >> (8 * k));
    *type = kRegDword;
    return true;
  }
  if (t.compare(0, 4, "hex:") == 0 || t.compare(0, 4, "hex(") == 0) {
    size_t colon = t.find(':');
    *type = kRegBinary;
    if (t[3] == '(') {
      size_t close = t.find(')');
      if (close == std::string::npos || close + 1 != colon || close == 4) {
        *why = "malformed hex(type)";
        return false;
      }
      uint32_t v = 0;
      for (size_t k = 4; k < close; k++) {
        int d = HexDigit(t[k]);
        if (d < 0 || k - 4 >= 8) {
          *why = "malformed hex(type)";
          return false;
        }
        v = v * 16 + (uint32_t)d;
      }
      *type = v;
    }
    if (!ParseHexList(t.substr(colon + 1), data)) {
      *why = "malformed hex byte list";
      return false;
    }
    return true;
  }
  *why = "unknown value form";
  return false;
}

}  // namespace

bool ApplyRegText(const std::string& text, std::string* error) {
  std::vector<std::string> lines;
  {
    std::string cur;
    for (char c : text) {
      if (c == '\n') {
        if (!cur.empty() && cur.back() == '\r') cur.pop_back();
        lines.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(c);
      }
    }
    if (!cur.empty()) {
      if (cur.back() == '\r') cur.pop_back();
      lines.push_back(cur);
    }
  }
  auto fail = [&](size_t line, const std::string& why) {
    if (error) *error = "line " + std::to_string(line) + ": " + why;
    return false;
  };

  size_t n = 0;
  while (n < lines.size() && Trim(lines[n]).empty()) n++;
  if (n == lines.size() || Trim(lines[n]) != "REGEDIT4")
    return fail(n + 1, "the file must begin with REGEDIT4");
  n++;

  bool have_key = false;
  RegKey root = 0;
  std::string sub;
  while (n < lines.size()) {
    size_t first = n + 1;  // 1-based number of the line being read
    std::string line = lines[n++];
    // A value line may continue while it ends with '\' (hex lists); a
    // comment never does, or it would swallow the line after it.
    while (!Trim(line).empty() && Trim(line).back() == '\\' &&
           Trim(line)[0] != ';' && n < lines.size() &&
           line.find("hex") != std::string::npos) {
      line = Trim(line);
      line.pop_back();
      line += Trim(lines[n++]);
    }
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      if (t.back() != ']') return fail(first, "unterminated key name");
      std::string name = t.substr(1, t.size() - 2);
      bool remove = !name.empty() && name[0] == '-';
      if (remove) name.erase(0, 1);
      if (!SplitKey(name, &root, &sub))
        return fail(first, "unknown root key in [" + name + "]");
      if (remove) {
        PosixRegDeleteKey(root, sub.c_str());
        have_key = false;
        continue;
      }
      if (!PosixRegCreateKey(root, sub.c_str()))
        return fail(first, "cannot create key " + name);
      have_key = true;
      continue;
    }
    if (!have_key) return fail(first, "value outside a key");
    std::string name;
    size_t i = 0;
    if (t[0] == '@') {
      i = 1;
    } else if (t[0] == '"') {
      if (!ParseQuoted(t, &i, &name))
        return fail(first, "malformed value name");
    } else {
      return fail(first, "a value line starts with @ or a quoted name");
    }
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) i++;
    if (i >= t.size() || t[i] != '=') return fail(first, "'=' expected");
    std::string rest = Trim(t.substr(i + 1));
    if (rest == "-") {
      PosixRegDeleteValue(root, sub.c_str(), name.c_str());
      continue;
    }
    uint32_t type = 0;
    std::string data, why;
    if (!ParseData(rest, &type, &data, &why)) return fail(first, why);
    if (!PosixRegSetValue(root, sub.c_str(), name.c_str(), type, data.data(),
                          (uint32_t)data.size()))
      return fail(first, "cannot store the value");
  }
  return true;
}

namespace {

struct Writer {
  std::string out;
  bool have_section = false;
  RegKey root = 0;
  std::string key;
};

std::string Quote(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') q.push_back('\\');
    q.push_back(c);
  }
  q.push_back('"');
  return q;
}

// Text that survives a quoted REG_SZ: one terminating NUL, no other NUL, no
// line break.
bool PlainString(const PosixRegValue* v) {
  if (v->type != kRegSz || v->size == 0 || v->data[v->size - 1] != 0)
    return false;
  for (uint32_t i = 0; i + 1 < v->size; i++) {
    uint8_t c = v->data[i];
    if (c == 0 || c == '\r' || c == '\n') return false;
  }
  return true;
}

std::string HexValue(const char* prefix, size_t name_width, const uint8_t* data,
                     uint32_t size) {
  std::string s = prefix;
  size_t column = name_width + 1 + s.size();
  char b[4];
  for (uint32_t i = 0; i < size; i++) {
    snprintf(b, sizeof b, "%02x", data[i]);
    s += b;
    column += 2;
    if (i + 1 < size) {
      s += ',';
      column++;
      if (column > 76) {
        s += "\\\r\n  ";
        column = 2;
      }
    }
  }
  return s;
}

void Visit(void* ctx, RegKey root, const char* key_path,
           const PosixRegValue* value) {
  Writer* w = (Writer*)ctx;
  const char* root_name = RootText(root);
  if (!root_name) return;
  if (!w->have_section || w->root != root || w->key != key_path) {
    w->out += "\r\n[";
    w->out += root_name;
    if (*key_path) {
      w->out += '\\';
      w->out += key_path;
    }
    w->out += "]\r\n";
    w->have_section = true;
    w->root = root;
    w->key = key_path;
  }
  if (!value) return;
  std::string name = value->name[0] ? Quote(value->name) : std::string("@");
  std::string data;
  if (PlainString(value)) {
    data = Quote(std::string((const char*)value->data, value->size - 1));
  } else if (value->type == kRegDword && value->size == 4) {
    char b[20];
    uint32_t v = (uint32_t)value->data[0] | ((uint32_t)value->data[1] << 8) |
                 ((uint32_t)value->data[2] << 16) |
                 ((uint32_t)value->data[3] << 24);
    snprintf(b, sizeof b, "dword:%08x", v);
    data = b;
  } else if (value->type == kRegBinary) {
    data = HexValue("hex:", name.size(), value->data, value->size);
  } else {
    char prefix[24];
    snprintf(prefix, sizeof prefix, "hex(%x):", value->type);
    data = HexValue(prefix, name.size(), value->data, value->size);
  }
  w->out += name + "=" + data + "\r\n";
}

}  // namespace

std::string RegText() {
  Writer w;
  w.out = "REGEDIT4\r\n";
  PosixRegVisit(Visit, &w);
  w.out += "\r\n";
  return w.out;
}

bool LoadRegFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot be read";
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string why;
  if (!ApplyRegText(ss.str(), &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  return true;
}

bool SaveRegFile(const std::string& path, std::string* error) {
  std::string text = RegText();
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      if (error) *error = tmp + ": cannot be written";
      return false;
    }
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    remove(tmp.c_str());
    if (error) *error = path + ": cannot be replaced";
    return false;
  }
  return true;
}
