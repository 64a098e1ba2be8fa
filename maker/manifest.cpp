#include "maker/manifest.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>

#include "maker/cp950.h"
#include "maker/json.h"
#include "maker/tree.h"

namespace maker {

namespace {

// The applier reads set-value data into a buffer of this many bytes.
enum { kMaxValueData = 1001 };

class Reader {
 public:
  explicit Reader(const std::string& source) : source_(source) {}

  [[noreturn]] void Fail(const Json& at, const std::string& what) const {
    throw MakeError(source_ + ": " + at.Where() + ": " + what);
  }

  void Only(const Json& obj, std::initializer_list<const char*> keys,
            const char* what) const {
    if (obj.kind != Json::kObject) Fail(obj, std::string(what) + " must be an object");
    for (const auto& m : obj.members) {
      bool ok = false;
      for (const char* k : keys)
        if (m.first == k) ok = true;
      if (!ok) Fail(m.second, "unknown member \"" + m.first + "\" in " + what);
    }
  }

  bool Bool(const Json& v, const char* what) const {
    if (v.kind != Json::kBool) Fail(v, std::string(what) + " must be true or false");
    return v.b;
  }

  uint32_t U32(const Json& v, const char* what) const {
    if (v.kind == Json::kString) {
      // Hex is easier to read for keys and offsets: "0x80000002".
      const std::string& t = v.text;
      if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        char* end;
        unsigned long long n = strtoull(t.c_str() + 2, &end, 16);
        if (*end == 0 && n <= 0xFFFFFFFFull && t.size() <= 10) return (uint32_t)n;
      }
      Fail(v, std::string(what) + " must be a number from 0 to 4294967295");
    }
    if (v.kind != Json::kNumber || !v.integral || v.integer < 0 ||
        v.integer > 0xFFFFFFFFll)
      Fail(v, std::string(what) + " must be a number from 0 to 4294967295");
    return (uint32_t)v.integer;
  }

  std::string Utf8(const Json& v, const char* what) const {
    if (v.kind != Json::kString) Fail(v, std::string(what) + " must be a string");
    return v.text;
  }

  // A payload string: code page 950, at most 255 bytes.
  std::string Text(const Json& v, const char* what, size_t max = 255) const {
    std::string s = Utf8(v, what);
    std::string b;
    try {
      b = Utf8ToCp950(s);
    } catch (const TextError& e) {
      Fail(v, std::string(what) + ": " + e.what());
    }
    if (b.size() > max)
      Fail(v, std::string(what) + " is " + std::to_string(b.size()) +
                  " bytes in code page 950; at most " + std::to_string(max) +
                  " fit");
    if (b.find('\0') != std::string::npos)
      Fail(v, std::string(what) + " must not hold a NUL character");
    return b;
  }

  uint32_t Root(const Json& v) const {
    static const struct {
      const char* a;
      const char* b;
      uint32_t key;
    } kRoots[] = {
        {"HKCR", "HKEY_CLASSES_ROOT", 0x80000000u},
        {"HKCU", "HKEY_CURRENT_USER", 0x80000001u},
        {"HKLM", "HKEY_LOCAL_MACHINE", 0x80000002u},
        {"HKU", "HKEY_USERS", 0x80000003u},
        {"HKCC", "HKEY_CURRENT_CONFIG", 0x80000005u},
    };
    if (v.kind == Json::kString)
      for (const auto& r : kRoots)
        if (v.text == r.a || v.text == r.b) return r.key;
    if (v.kind == Json::kString && v.text.compare(0, 2, "0x") != 0)
      Fail(v, "unknown registry root \"" + v.text +
                  "\" (HKLM, HKCU, HKCR, HKU, HKCC or a number)");
    return U32(v, "a registry root");
  }

  uint32_t Type(const Json& v) const {
    static const struct {
      const char* name;
      uint32_t type;
    } kTypes[] = {{"REG_NONE", 0},      {"REG_SZ", 1},
                  {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3},
                  {"REG_DWORD", 4},     {"REG_DWORD_BIG_ENDIAN", 5},
                  {"REG_LINK", 6},      {"REG_MULTI_SZ", 7},
                  {"REG_QWORD", 11}};
    if (v.kind == Json::kString) {
      for (const auto& t : kTypes)
        if (v.text == t.name) return t.type;
      Fail(v, "unknown value type \"" + v.text + "\"");
    }
    return U32(v, "a value type");
  }

  HoleSpec Hole(const Json& v) const {
    if (v.kind != Json::kArray || v.items.size() != 2)
      Fail(v, "a hole is [offset, length]");
    HoleSpec h;
    h.offset = U32(v.items[0], "a hole offset");
    h.length = U32(v.items[1], "a hole length");
    if ((uint64_t)h.offset + h.length > 0x7FFFFFFFull)
      Fail(v, "the hole reaches past 2 GiB");
    return h;
  }

  FileRule File(const Json& v) const {
    Only(v, {"optional", "quiet", "hole", "source_holes", "stamp"}, "a file rule");
    FileRule r;
    if (const Json* x = v.Find("optional")) r.optional = Bool(*x, "optional");
    if (const Json* x = v.Find("quiet")) r.quiet = Bool(*x, "quiet");
    if (const Json* x = v.Find("hole")) {
      r.has_hole = true;
      r.hole = Hole(*x);
    }
    if (const Json* x = v.Find("source_holes")) {
      if (x->kind != Json::kArray) Fail(*x, "source_holes is a list of [offset, length]");
      r.has_source_holes = true;
      for (const Json& h : x->items) r.source_holes.push_back(Hole(h));
    }
    if (const Json* x = v.Find("stamp")) {
      r.stamp_given = true;
      if (x->kind == Json::kString && x->text == "none") {
        r.stamp = 0;
      } else if (x->kind == Json::kString) {
        if (!ParseStampText(x->text, &r.stamp))
          Fail(*x, "a stamp is \"YYYY-MM-DD hh:mm:ss\" between 1980 and 2107, "
                   "a number, or \"none\"");
      } else {
        r.stamp = U32(*x, "a stamp");
      }
    }
    return r;
  }

  RegistryOp Op(const Json& v) const {
    Only(v, {"open", "set"}, "a registry operation");
    if (v.members.size() != 1) Fail(v, "a registry operation is either \"open\" or \"set\"");
    RegistryOp op;
    const Json& body = v.members[0].second;
    if (v.members[0].first == "open") {
      Only(body, {"root", "subkey"}, "an open operation");
      op.open = true;
      op.root = Root(Need(body, "root"));
      op.subkey = Text(Need(body, "subkey"), "the subkey");
      return op;
    }
    Only(body, {"name", "type", "string", "strings", "dword", "qword", "hex"},
         "a set operation");
    op.name = body.Find("name") ? Text(*body.Find("name"), "the value name") : "";
    op.type = Type(Need(body, "type"));
    int forms = 0;
    if (const Json* x = body.Find("string")) {
      forms++;
      op.data = Text(*x, "the string", kMaxValueData - 1) + std::string(1, '\0');
    }
    if (const Json* x = body.Find("strings")) {
      forms++;
      if (x->kind != Json::kArray) Fail(*x, "strings must be a list of strings");
      for (const Json& s : x->items)
        op.data += Text(s, "a string", kMaxValueData) + std::string(1, '\0');
      op.data.push_back('\0');
    }
    if (const Json* x = body.Find("dword")) {
      forms++;
      uint32_t n = U32(*x, "a dword");
      for (int k = 0; k < 4; k++)
        op.data.push_back((char)(op.type == 5 ? n >> (24 - 8 * k) : n >> (8 * k)));
    }
    if (const Json* x = body.Find("qword")) {
      forms++;
      if (x->kind != Json::kNumber || !x->integral || x->integer < 0)
        Fail(*x, "a qword must be a number from 0 to 2^63 - 1");
      uint64_t n = (uint64_t)x->integer;
      for (int k = 0; k < 8; k++) op.data.push_back((char)(n >> (8 * k)));
    }
    if (const Json* x = body.Find("hex")) {
      forms++;
      std::string h = Utf8(*x, "hex data");
      std::string digits;
      for (char c : h)
        if (c != ' ' && c != ',') digits.push_back(c);
      if (digits.size() % 2) Fail(*x, "hex data needs two digits per byte");
      for (size_t i = 0; i < digits.size(); i += 2) {
        char pair[3] = {digits[i], digits[i + 1], 0};
        char* end;
        long b = strtol(pair, &end, 16);
        if (*end || !isxdigit((unsigned char)pair[0])) Fail(*x, "hex data holds a non-hex digit");
        op.data.push_back((char)b);
      }
    }
    if (forms != 1)
      Fail(body, "a set operation takes exactly one of string, strings, dword, "
                 "qword and hex");
    if (op.data.size() > kMaxValueData)
      Fail(body, "value data of " + std::to_string(op.data.size()) +
                     " bytes; the applier takes at most " +
                     std::to_string((int)kMaxValueData));
    return op;
  }

  RegistrySpec Script(const Json& v) const {
    Only(v, {"check", "ops"}, "a registry entry");
    RegistrySpec r;
    const Json& check = Need(v, "check");
    Only(check, {"root", "subkey", "value"}, "the check");
    r.check_root = Root(Need(check, "root"));
    r.check_subkey = Text(Need(check, "subkey"), "the check subkey");
    r.check_value = check.Find("value") ? Text(*check.Find("value"), "the check value") : "";
    if (const Json* ops = v.Find("ops")) {
      if (ops->kind != Json::kArray) Fail(*ops, "ops must be a list");
      for (const Json& o : ops->items) r.ops.push_back(Op(o));
    }
    return r;
  }

  std::string Folder(const Json& v) const {
    std::string f = Utf8(v, "the folder");
    while (!f.empty() && f.back() == '/') f.pop_back();
    while (!f.empty() && f[0] == '/') f.erase(0, 1);
    size_t st = 0;
    while (st <= f.size() && !f.empty()) {
      size_t e = f.find('/', st);
      if (e == std::string::npos) e = f.size();
      std::string part = f.substr(st, e - st);
      if (part.empty() || part == "." || part == "..")
        Fail(v, "a folder is a plain relative path such as \"sys/drivers\"");
      st = e + 1;
    }
    return f;
  }

  GroupSpec Group(const Json& v) const {
    Only(v, {"target", "root", "subkey", "value", "folder", "backup", "files",
             "registry"},
         "a group");
    GroupSpec g;
    if (const Json* t = v.Find("target")) {
      static const char* kNames[] = {"chosen", "registry", "windows", "system"};
      bool found = false;
      if (t->kind == Json::kString) {
        for (int k = 0; k < 4; k++)
          if (t->text == kNames[k]) {
            g.kind = (uint8_t)k;
            found = true;
          }
        if (!found) Fail(*t, "target is chosen, registry, windows or system");
      } else {
        uint32_t k = U32(*t, "target");
        if (k > 3) Fail(*t, "target is 0 to 3");
        g.kind = (uint8_t)k;
      }
    }
    if (g.kind == 1) {
      g.root = Root(Need(v, "root"));
      g.subkey = Text(Need(v, "subkey"), "the subkey");
      g.value_name = v.Find("value") ? Text(*v.Find("value"), "the value name") : "";
    } else {
      for (const char* k : {"root", "subkey", "value"})
        if (const Json* x = v.Find(k))
          Fail(*x, std::string("\"") + k + "\" belongs to registry targets only");
    }
    if (const Json* x = v.Find("folder")) g.folder = Folder(*x);
    if (const Json* x = v.Find("backup")) {
      g.backup_given = true;
      g.backup = Text(*x, "the backup folder name");
    }
    if (const Json* x = v.Find("files")) {
      if (x->kind != Json::kObject) Fail(*x, "files must be an object");
      for (const auto& m : x->members) {
        std::string key = m.first;
        for (char& c : key)
          if (c == '\\') c = '/';
        if (g.files.count(key)) Fail(m.second, "file \"" + m.first + "\" given twice");
        g.files[key] = File(m.second);
      }
    }
    if (const Json* x = v.Find("registry")) {
      if (x->kind != Json::kArray) Fail(*x, "registry must be a list");
      for (const Json& s : x->items) g.registry.push_back(Script(s));
    }
    return g;
  }

  const Json& Need(const Json& obj, const char* key) const {
    const Json* v = obj.Find(key);
    if (!v) Fail(obj, std::string("\"") + key + "\" is missing");
    return *v;
  }

 private:
  std::string source_;
};

}  // namespace

Manifest DefaultManifest() {
  Manifest m;
  m.groups.push_back(GroupSpec());
  return m;
}

Manifest ParseManifest(const std::string& text, const std::string& source) {
  Json doc;
  try {
    doc = ParseJson(text);
  } catch (const JsonError& e) {
    throw MakeError(source + ": " + e.what());
  }
  Reader r(source);
  r.Only(doc, {"backup", "groups"}, "the manifest");
  Manifest m;
  if (const Json* b = doc.Find("backup")) {
    m.backup_given = true;
    m.backup = r.Text(*b, "the backup folder name");
  }
  const Json* groups = doc.Find("groups");
  if (!groups) {
    m.groups.push_back(GroupSpec());
    return m;
  }
  if (groups->kind != Json::kArray) r.Fail(*groups, "groups must be a list");
  if (groups->items.empty()) r.Fail(*groups, "groups must not be empty");
  if (groups->items.size() > 20)
    r.Fail(*groups, "the applier takes at most 20 groups");
  std::set<std::string> folders;
  for (const Json& g : groups->items) {
    m.groups.push_back(r.Group(g));
    if (!folders.insert(m.groups.back().folder).second)
      r.Fail(g, "two groups with the folder \"" + m.groups.back().folder + "\"");
  }
  return m;
}

bool ParseStampText(const std::string& text, uint32_t* stamp) {
  int y, mo, d, h, mi, s;
  char tail;
  if (sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s,
             &tail) != 6)
    return false;
  if (y < 1980 || y > 2107 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 ||
      mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0)
    return false;
  *stamp = ((uint32_t)(y - 1980) << 9 | (uint32_t)mo << 5 | (uint32_t)d) << 16 |
           (uint32_t)h << 11 | (uint32_t)mi << 5 | (uint32_t)(s / 2);
  return true;
}

}  // namespace maker
