// Registry pass: runs the registry script of every registry entry.
//
// Script layout (little-endian; strings are payload strings):
//
//   head   u32 check root key, string check subkey, string check value name,
//          u32 (ignored), u8 (ignored)
//   ops    u8 opcode, then by opcode:
//            0  end of the script
//            1  open key:  u32 root key, string subkey
//            2  set value: string name, u32 type, u32 data length, data
//            3..255  nothing (skipped)
//
// The check value must exist and not be empty before anything is written:
// it is the target software's install-path value. The current key starts as
// the check key, open for reading only, so a set-value before any open-key
// fails with 41.
//
// The whole script is read once before anything is written: a script that
// cannot be read to its end opcode, that runs past its stored length, or
// whose set-value data exceeds the 1001-byte buffer is refused with 1 and
// writes nothing. Values written stay written when a later operation fails;
// no pass undoes registry changes.
#include "apply/passes.h"
#include "container/payload_stream.h"

namespace {

enum { kValueBuffer = 1001 };

// Reads the script of the current entry, bounded by its stored length.
struct ScriptReader {
  Session* s;
  uint32_t end;  // first byte after the script
  bool ok;

  void Start() {
    PayloadSeek(s, s->entry.data_pos);
    end = s->entry.end_pos;
    ok = true;
  }
  bool Within() {
    if (ok && PayloadTell(s) > end) ok = false;
    return ok;
  }
  bool Bytes(void* dst, int32_t n) {
    if (ok && n > 0 && !PayloadRead(s, dst, n)) ok = false;
    return Within();
  }
  uint32_t U32() {
    uint8_t b[4] = {0, 0, 0, 0};
    Bytes(b, 4);
    return ok ? LoadLe32(b) : 0;
  }
  uint8_t U8() {
    uint8_t b = 0;
    Bytes(&b, 1);
    return ok ? b : 0;
  }
  void String(Str* out) {
    StrClear(out);
    if (ok && !PayloadReadString(s, out)) ok = false;
    Within();
  }
};

struct ScriptHead {
  RegKey root;
  Str subkey;
  Str value_name;
};

bool ReadHead(ScriptReader* r, ScriptHead* h) {
  h->root = r->U32();
  r->String(&h->subkey);
  r->String(&h->value_name);
  r->U32();
  r->U8();
  return r->ok;
}

// Reads the script to its end opcode without acting on it.
MsgCode CheckScript(Session* s) {
  ScriptReader r = {s, 0, true};
  r.Start();
  ScriptHead head;
  if (!ReadHead(&r, &head)) return kMsgBroken;
  Str name;
  uint8_t data[kValueBuffer];
  for (;;) {
    uint8_t op = r.U8();
    if (!r.ok) return kMsgBroken;
    if (op == 0) return kOk;
    if (op == 1) {
      r.U32();
      r.String(&name);
    } else if (op == 2) {
      r.String(&name);
      r.U32();
      uint32_t len = r.U32();
      if (!r.ok || len > kValueBuffer) return kMsgBroken;
      r.Bytes(data, (int32_t)len);
    }
    if (!r.ok) return kMsgBroken;
  }
}

// The check key open for reading, its value present and not empty.
MsgCode OpenCheckKey(Session* s, const ScriptHead* h, RegKey* key) {
  const Platform* os = s->os;
  if (!os->reg_open(h->root, h->subkey.s, kKeyRead, key))
    return kMsgRegistryFolder;
  uint8_t value[kValueBuffer];
  value[0] = 0;  // a value of no bytes at all is empty too
  uint32_t type = 0, size = kValueBuffer;
  if (!os->reg_query(*key, h->value_name.s, &type, value, &size) || size == 0 ||
      value[0] == 0) {
    os->reg_close(*key);
    return kMsgRegistryFolder;
  }
  return kOk;
}

MsgCode RunScript(Session* s) {
  const Platform* os = s->os;
  ScriptReader r = {s, 0, true};
  r.Start();
  ScriptHead head;
  if (!ReadHead(&r, &head)) return kMsgBroken;
  RegKey key = 0;
  RETURN_IF_ERR(OpenCheckKey(s, &head, &key));
  Str name;
  uint8_t data[kValueBuffer];
  MsgCode rc = kOk;
  for (;;) {
    uint8_t op = r.U8();
    if (!r.ok) {
      rc = kMsgBroken;
      break;
    }
    if (op == 0) break;
    if (op == 1) {
      RegKey root = r.U32();
      r.String(&name);
      if (!r.ok) {
        rc = kMsgBroken;
        break;
      }
      RegKey opened = 0;
      if (!os->reg_open(root, name.s, kKeyAllAccess, &opened)) {
        rc = kMsgRegistryAccess;
        break;
      }
      os->reg_close(key);
      key = opened;
    } else if (op == 2) {
      r.String(&name);
      uint32_t type = r.U32();
      uint32_t len = r.U32();
      if (!r.ok || len > kValueBuffer) {
        rc = kMsgBroken;
        break;
      }
      r.Bytes(data, (int32_t)len);
      if (!r.ok) {
        rc = kMsgBroken;
        break;
      }
      if (!os->reg_set(key, name.s, type, data, len)) {
        rc = kMsgRegistryAccess;
        break;
      }
    }
  }
  os->reg_close(key);
  return rc;
}

}  // namespace

MsgCode RegistryPass(Session* s, int32_t, uint8_t kind) {
  if (kind != kEntryRegistry) return kOk;
  MsgCode rc = CheckScript(s);
  if (rc == kOk) rc = RunScript(s);
  // The next entry header starts where the script's stored length ends.
  PayloadSeek(s, s->entry.end_pos);
  return rc;
}
